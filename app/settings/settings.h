// The settings file: eleven run settings, one decimal integer a line.
#pragma once

// Overwrites the fields as far as the file supplies them; settingsLoaded becomes 1 when it opened.
void readSettings();

// Replaces the file as a whole: the previous one stays intact unless the new one was written in full.
void writeSettings();
