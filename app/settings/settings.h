// The settings file: eleven run settings, one decimal integer a line.
#pragma once

// Overwrites the fields as far as the file supplies them; settingsLoaded becomes 1 when it opened.
void readSettings();

// Replaces the file as a whole, or rewrites it in place under its lock where replacing would lose
// its ACL, attributes or other names: the previous text stays unless the new one was written in full.
void writeSettings();
