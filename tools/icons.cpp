// Renders the application icon from the demo's own cube: the pixels of drawCube at a fixed pose as a
// 1024x1024 RGBA image (PAM), and the same polygons, as the GL hands them back in feedback mode, as
// an SVG with one linear gradient a face. scripts/icons scales the image to the theme's sizes.
//   quillvane-icons IMAGE.pam ICON.svg
#include <GLFW/glfw3.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

#include "app/render/frame.h"

namespace {

constexpr int size = 1024;
// Three faces showing, the way the demo's cube is seen a few seconds in.
constexpr float poseX = -30.0f;
constexpr float poseY = 45.0f;

struct Corner {
    float x, y, z, r, g, b;
};

bool same(const Corner& a, const Corner& b)
{
    return a.x == b.x && a.y == b.y && a.z == b.z;
}

void pose()
{
    glMatrixMode(GL_MODELVIEW);
    glLoadIdentity();
    glRotatef(poseX, 1.0f, 0.0f, 0.0f);
    glRotatef(poseY, 0.0f, 1.0f, 0.0f);
}

bool writeImage(const char* path)
{
    std::vector<unsigned char> pixels(size * size * 4);
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    glReadBuffer(GL_BACK);
    glReadPixels(0, 0, size, size, GL_RGBA, GL_UNSIGNED_BYTE, pixels.data());
    FILE* out = std::fopen(path, "wb");
    if (!out)
        return false;
    std::fprintf(out, "P7\nWIDTH %d\nHEIGHT %d\nDEPTH 4\nMAXVAL 255\nTUPLTYPE RGB_ALPHA\nENDHDR\n", size, size);
    // GL's rows run bottom to top.
    for (int row = size - 1; row >= 0; --row)
        std::fwrite(&pixels[row * size * 4], 1, size * 4, out);
    return std::fclose(out) == 0;
}

// The cube's faces as the GL drew them. Mesa hands each polygon back as two triangles: a pair that
// shares an edge is one face, its corners in order around it.
std::vector<std::vector<Corner>> feedbackPolygons()
{
    std::vector<GLfloat> buffer(1 << 16);
    glFeedbackBuffer(GLsizei(buffer.size()), GL_3D_COLOR, buffer.data());
    glRenderMode(GL_FEEDBACK);
    drawCube();
    const GLint count = glRenderMode(GL_RENDER);
    std::vector<std::vector<Corner>> triangles;
    for (GLint i = 0; i + 1 < count;) {
        if (buffer[i] != GL_POLYGON_TOKEN) {
            ++i;
            continue;
        }
        const int corners = int(buffer[i + 1]);
        i += 2;
        std::vector<Corner> polygon;
        for (int c = 0; c < corners && i + 6 < count; ++c, i += 7)
            polygon.push_back({buffer[i], buffer[i + 1], buffer[i + 2], buffer[i + 3], buffer[i + 4], buffer[i + 5]});
        triangles.push_back(polygon);
    }
    std::vector<std::vector<Corner>> faces;
    for (size_t t = 0; t + 1 < triangles.size(); t += 2) {
        const auto& first = triangles[t];
        const auto& second = triangles[t + 1];
        if (first.size() != 3 || second.size() != 3)
            continue;
        auto in = [](const std::vector<Corner>& triangle, const Corner& c) {
            return std::any_of(triangle.begin(), triangle.end(), [&](const Corner& o) { return same(o, c); });
        };
        std::vector<Corner> shared, own;
        for (const Corner& c : first)
            (in(second, c) ? shared : own).push_back(c);
        for (const Corner& c : second)
            if (!in(first, c))
                own.push_back(c);
        if (shared.size() == 2 && own.size() == 2)
            faces.push_back({shared[0], own[0], shared[1], own[1]});
    }
    return faces;
}

bool sameColour(const Corner& a, const Corner& b)
{
    return a.r == b.r && a.g == b.g && a.b == b.b;
}

void colour(FILE* out, const Corner& c)
{
    std::fprintf(out, "#%02x%02x%02x", int(std::lround(c.r * 255)), int(std::lround(c.g * 255)),
                 int(std::lround(c.b * 255)));
}

// Two corners of a face carry one colour and the other two another, on opposite edges of a
// parallelogram: the GL's shading is then a linear gradient across those edges.
bool writeSvg(const char* path, std::vector<std::vector<Corner>> polygons)
{
    auto depth = [](const std::vector<Corner>& p) {
        float sum = 0;
        for (const Corner& c : p)
            sum += c.z;
        return sum / float(p.size());
    };
    // Far faces first; the near ones cover them.
    std::sort(polygons.begin(), polygons.end(),
              [&](const auto& a, const auto& b) { return depth(a) > depth(b); });
    FILE* out = std::fopen(path, "w");
    if (!out)
        return false;
    std::fprintf(out, "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!-- Rendered by tools/icons.cpp from the demo's cube. -->\n"
                      "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"128\" height=\"128\" viewBox=\"0 0 %d %d\">\n",
                 size, size);
    int face = 0;
    for (const auto& p : polygons) {
        // a and b: the corners of one colour; c: one of the other.
        const Corner& a = p[0];
        const Corner& b = sameColour(p[1], a) ? p[1] : sameColour(p[2], a) ? p[2] : p[3];
        const Corner& c = &b == &p[1] ? p[2] : p[1];
        const float ex = b.x - a.x, ey = b.y - a.y;
        const float length = std::hypot(ex, ey);
        if (length < 1e-3f)
            continue;
        const float nx = -ey / length, ny = ex / length;
        const float across = (c.x - a.x) * nx + (c.y - a.y) * ny;
        // Seen edge on: nothing to draw.
        if (std::fabs(across) < 0.5f)
            continue;
        const float x2 = a.x + nx * across, y2 = a.y + ny * across;
        std::fprintf(out, "  <linearGradient id=\"f%d\" gradientUnits=\"userSpaceOnUse\" x1=\"%.2f\" y1=\"%.2f\" x2=\"%.2f\" y2=\"%.2f\">"
                          "<stop offset=\"0\" stop-color=\"", face, a.x, size - a.y, x2, size - y2);
        colour(out, a);
        std::fprintf(out, "\"/><stop offset=\"1\" stop-color=\"");
        colour(out, c);
        std::fprintf(out, "\"/></linearGradient>\n  <path fill=\"url(#f%d)\" stroke=\"url(#f%d)\" stroke-width=\"1\" stroke-linejoin=\"round\" d=\"M",
                     face, face);
        for (const Corner& c : p)
            std::fprintf(out, " %.2f %.2f", c.x, size - c.y);
        std::fprintf(out, " Z\"/>\n");
        ++face;
    }
    std::fprintf(out, "</svg>\n");
    return std::fclose(out) == 0 && face > 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: quillvane-icons IMAGE.pam ICON.svg\n");
        return 2;
    }
    if (!glfwInit())
        return 1;
    glfwWindowHint(GLFW_VISIBLE, GLFW_FALSE);
    glfwWindowHint(GLFW_ALPHA_BITS, 8);
    GLFWwindow* window = glfwCreateWindow(size, size, "quillvane-icons", nullptr, nullptr);
    if (!window) {
        glfwTerminate();
        return 1;
    }
    glfwMakeContextCurrent(window);
    glViewport(0, 0, size, size);
    glEnable(GL_DEPTH_TEST);
    glClearColor(0, 0, 0, 0);
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    pose();
    drawCube();
    const bool image = writeImage(argv[1]);
    const bool svg = writeSvg(argv[2], feedbackPolygons());
    glfwDestroyWindow(window);
    glfwTerminate();
    if (!image || !svg)
        std::fprintf(stderr, "quillvane-icons: cannot write %s\n", image ? argv[2] : argv[1]);
    return image && svg ? 0 : 1;
}
