#include "app/render/frame.h"

#include <GLFW/glfw3.h>

#include "app/state.h"
#include "app/trace.h"
#include "app/status/statusline.h"
#include "platform/desktop/desktop.h"
#include "platform/music/music.h"

struct CubeFace {
    float firstColour[3];
    float vertex1[3];
    float vertex2[3];
    float secondColour[3];
    float vertex3[3];
    float vertex4[3];
};

// Each face shades from its first colour along the edge through vertices 1 and 2 to its second
// colour along the edge through vertices 3 and 4.
constexpr CubeFace cubeFaces[6] = {
    {{1, 1, 0}, {-0.5f, -0.5f, -0.5f}, {-0.5f, 0.5f, -0.5f}, {1, 0, 1}, {0.5f, 0.5f, -0.5f}, {0.5f, -0.5f, -0.5f}},
    {{1, 1, 0}, {0.5f, -0.5f, 0.5f}, {0.5f, 0.5f, 0.5f}, {1, 0, 1}, {-0.5f, 0.5f, 0.5f}, {-0.5f, -0.5f, 0.5f}},
    {{1, 1, 1}, {0.5f, -0.5f, -0.5f}, {0.5f, 0.5f, -0.5f}, {1, 0, 1}, {0.5f, 0.5f, 0.5f}, {0.5f, -0.5f, 0.5f}},
    {{0, 1, 0}, {-0.5f, -0.5f, 0.5f}, {-0.5f, 0.5f, 0.5f}, {0, 0, 1}, {-0.5f, 0.5f, -0.5f}, {-0.5f, -0.5f, -0.5f}},
    {{0, 0, 1}, {0.5f, 0.5f, 0.5f}, {0.5f, 0.5f, -0.5f}, {1, 1, 1}, {-0.5f, 0.5f, -0.5f}, {-0.5f, 0.5f, 0.5f}},
    {{1, 0, 0}, {0.5f, -0.5f, -0.5f}, {0.5f, -0.5f, 0.5f}, {1, 1, 1}, {-0.5f, -0.5f, 0.5f}, {-0.5f, -0.5f, -0.5f}},
};

constexpr double angleStep = 0.3;

static bool pressed(int key)
{
    return (getKeyState(key) & keyPressedBit) != 0;
}

static void readKeys()
{
    if (pressed(GLFW_KEY_3))
        runSettings.frameRate = 30;
    if (pressed(GLFW_KEY_5))
        runSettings.frameRate = 50;
    if (pressed(GLFW_KEY_6))
        runSettings.frameRate = 60;
    // Queried in every foreground frame, fullscreen or not, so a press never lingers.
    if (pressed(GLFW_KEY_I) && runSettings.fullscreen == 0) {
        if (runSettings.showStatus == 0) {
            runSettings.showStatus = 1;
        } else {
            if (runSettings.showStatus == 1)
                setWindowTitle(demoState.window, demoState.title.c_str());
            runSettings.showStatus = 0;
        }
    }
    if (pressed(GLFW_KEY_SPACE)) {
        demoState.angleX = 0.0f;
        demoState.angleY = 0.0f;
        musicChannelPlay(demoState.musicStream, true);
    }
    if (pressed(GLFW_KEY_P))
        demoState.paused = demoState.paused != 0 ? 0 : 1;
}

void renderFrame()
{
    if (runSettings.fullscreen == 0 && runSettings.showStatus != 0)
        updateStatusLine();
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    if (isForegroundWindow(demoState.window))
        readKeys();

    // Back to the base matrix each frame, so rotations never accumulate.
    glPopMatrix();
    glPushMatrix();
    if (demoState.paused == 0) {
        // Widened, added and rounded back: the angles accumulate in single precision.
        demoState.angleX = static_cast<float>(static_cast<double>(demoState.angleX) + angleStep);
        demoState.angleY = static_cast<float>(static_cast<double>(demoState.angleY) + angleStep);
        glRotatef(demoState.angleX, 1.0f, 0.0f, 0.0f);
        glRotatef(demoState.angleY, 0.0f, 1.0f, 0.0f);
        musicChannelPlay(demoState.musicStream, false);
        keepScreenAwake(demoState.musicStream != 0);
    } else {
        glRotatef(demoState.angleX, 1.0f, 0.0f, 0.0f);
        glRotatef(demoState.angleY, 0.0f, 1.0f, 0.0f);
        musicChannelPause(demoState.musicStream);
        keepScreenAwake(false);
    }
    drawCube();
    glfwSwapBuffers(demoState.window);
    traceFramePresented();
    glfwPollEvents();
}

void drawCube()
{
    for (const CubeFace& face : cubeFaces) {
        glBegin(GL_POLYGON);
        glColor3f(face.firstColour[0], face.firstColour[1], face.firstColour[2]);
        glVertex3f(face.vertex1[0], face.vertex1[1], face.vertex1[2]);
        glVertex3f(face.vertex2[0], face.vertex2[1], face.vertex2[2]);
        glColor3f(face.secondColour[0], face.secondColour[1], face.secondColour[2]);
        glVertex3f(face.vertex3[0], face.vertex3[1], face.vertex3[2]);
        glVertex3f(face.vertex4[0], face.vertex4[1], face.vertex4[2]);
        glEnd();
    }
}
