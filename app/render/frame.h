// One paced frame: status line, keys, rotation, music, the cube, present, events.
#pragma once

void renderFrame();
void drawCube();
