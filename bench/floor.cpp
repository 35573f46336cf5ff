// The floor for the benchmarks: the least that does the demo's visible work with the same
// libraries. The same window, hints and sample count, the same cube each paced frame, no music, no
// keys, no status line. Writes the same trace as the demo's trace build.
//   quillvane-floor [--samples N] [--rate FPS] [--seconds S] [--frames N]
#include <GLFW/glfw3.h>

#include <cstdlib>
#include <cstring>

#include "app/render/frame.h"
#include "app/trace.h"

int main(int argc, char** argv)
{
    int samples = 4, rate = 60, maxFrames = 0;
    double seconds = 10.0;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--samples"))
            samples = std::atoi(argv[i + 1]);
        else if (!std::strcmp(argv[i], "--rate"))
            rate = std::atoi(argv[i + 1]);
        else if (!std::strcmp(argv[i], "--seconds"))
            seconds = std::atof(argv[i + 1]);
        else if (!std::strcmp(argv[i], "--frames"))
            maxFrames = std::atoi(argv[i + 1]);
    }
    if (!glfwInit())
        return 1;
    glfwWindowHint(GLFW_RESIZABLE, GLFW_FALSE);
    glfwWindowHint(GLFW_VISIBLE, GLFW_FALSE);
    glfwWindowHint(GLFW_SAMPLES, samples);
    GLFWwindow* window = glfwCreateWindow(1024, 768, "Quillvane floor", nullptr, nullptr);
    if (!window)
        return 1;
    const GLFWvidmode* mode = glfwGetVideoMode(glfwGetPrimaryMonitor());
    glfwSetWindowPos(window, (mode->width - 1024) / 2, (mode->height - 768) / 2);
    glfwMakeContextCurrent(window);
    glfwSwapInterval(1);
    glEnable(GL_DEPTH_TEST);
    glPushMatrix();
    glfwShowWindow(window);

    float angle = 0.0f;
    double last = 0.0;
    int frames = 0;
    while (!glfwWindowShouldClose(window)) {
        const double t = glfwGetTime();
        traceLoopTurn();
        if (t - last >= 1.0 / rate) {
            last = t;
            traceFrameStart(t);
            glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
            glPopMatrix();
            glPushMatrix();
            angle = static_cast<float>(static_cast<double>(angle) + 0.3);
            glRotatef(angle, 1.0f, 0.0f, 0.0f);
            glRotatef(angle, 0.0f, 1.0f, 0.0f);
            drawCube();
            glfwSwapBuffers(window);
            traceFramePresented();
            glfwPollEvents();
            traceFrameEnd();
            ++frames;
        }
        if ((maxFrames > 0 && frames >= maxFrames) || t >= seconds)
            break;
    }
    glfwTerminate();
    traceFinish();
    return 0;
}
