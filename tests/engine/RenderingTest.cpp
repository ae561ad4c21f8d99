// Frames of the engine on a real context, checked by what they must show: the shaded colour and
// its lighting, background and box, the two boundary lists, the 3D texture, glass with its backdrop,
// blending and the depth sort, the family of surfaces, and GL errors on a large dataset.
//
// The pictures under docs/ come from here too, from the repository root under the X server:
//   VX_RENDER_DOCS=docs BUILD/tests/engine/rendering_tests --gtest_filter='*DocsPictures*'
// The large-dataset check runs on the million-tetrahedron demo (blobs, N = 55); VX_RENDER_DEMO_N
// picks another resolution.
#include "datasetbuild/Builder.h"
#include "DatasetWriter.h"
#include "GLGPUIsosurface.h"
#include "MemoryPool.h"
#include "PkDiag.h"
#include "datasetbuild/TextureVolume.h"

#include "CaptureOutput.h"
#include "GLTestContext.h"

#include <QDir>
#include <QImage>
#include <QTemporaryDir>

#include <cmath>
#include <cstdlib>
#include <functional>

namespace {

constexpr float kIsoLow = 1.1920929e-07f;

class CountingEngine : public IsosurfaceEngine {
public:
  std::vector<float> extractedAt; // isovalue of every finished extraction
protected:
  void reportExtractPerf(int) override { extractedAt.push_back(isovalue); }
};

struct Rgb {
  int r, g, b;
  bool operator==(const Rgb& o) const { return r == o.r && g == o.g && b == o.b; }
};
Rgb at(const QImage& image, int x, int y) {
  const QRgb p = image.pixel(x, y);
  return {qRed(p), qGreen(p), qBlue(p)};
}
// Pixels where pred holds.
int count(const QImage& image, const std::function<bool(Rgb)>& pred) {
  int n = 0;
  for (int y = 0; y < image.height(); ++y)
    for (int x = 0; x < image.width(); ++x) n += pred(at(image, x, y));
  return n;
}

const Rgb kBackground{51, 102, 153}; // (0.2, 0.4, 0.6), exact in eight bits
const Rgb kWhite{255, 255, 255};

// Builds a synthetic dataset with the builder; the path of its geometry file.
std::string buildSynthetic(const QString& dir, const std::string& spec) {
  vxb::BuildOptions options;
  options.synthetic = spec;
  options.output = QDir(dir).filePath(QString::fromStdString(spec.substr(0, spec.find(':')) + ".vx")).toStdString();
  options.quiet = true;
  return vxb::runVxbuild(options) == 0 ? options.output : std::string();
}

// Radius in pixels of a sphere of radius r, centred at the origin, seen from distance d by the
// default 45-degree camera in a frame `height` pixels high.
double sphereRadiusPixels(double r, double d, int height) {
  const double s = r / d;
  return s / std::sqrt(1 - s * s) / std::tan(22.5 * M_PI / 180) * height / 2;
}

class Rendering : public ::testing::Test {
protected:
  static GLTestContext* gl;
  static CountingEngine* engine;
  static QTemporaryDir* dir;
  static std::string shell; // the shell: every isosurface a sphere of radius 0.5 + 0.5·iso

  static void SetUpTestSuite() {
    gl = new GLTestContext;
    dir = new QTemporaryDir;
    shell = buildSynthetic(dir->path(), "shell:12");
    // The 3D texture is read from the current directory when the engine is set up.
    ASSERT_TRUE(vxb::writeMarbleTexture(QDir(dir->path()).filePath("out.tex").toStdString()));
    const QString previous = QDir::currentPath();
    QDir::setCurrent(dir->path());
    engine = new CountingEngine;
    if (gl->ok()) engine->initializeGL();
    QDir::setCurrent(previous);
  }
  static void TearDownTestSuite() {
    if (gl->ok()) engine->releaseGL();
    delete engine;
    delete dir;
    delete gl;
  }

  void SetUp() override {
    ASSERT_TRUE(gl->ok());
    ASSERT_TRUE(engine->extractionReady());
    ASSERT_FALSE(shell.empty());
    load(shell);
    CountingEngine& e = *engine;
    e.shadingMode = 0;
    e.surfaceOpacity = 1;
    e.wireframeOn = e.multiSurfaceOn = e.showBoundaries = e.showVertices = e.showBoundingBox = false;
    e.rotation[0] = e.rotation[1] = e.rotation[2] = 0;
    e.backgroundColor[0] = 0.2f, e.backgroundColor[1] = 0.4f, e.backgroundColor[2] = 0.6f;
    e.camera.position = PkVec3f(0, 0, 3);
    e.dirty = true;
    e.extractedAt.clear();
    takeGLError();
  }
  void TearDown() override { EXPECT_EQ(takeGLError(), 0u); }

  static void load(const std::string& path) {
    if (engine->datasetPath() != QString::fromStdString(path)) {
      ASSERT_TRUE(engine->loadDataset(QString::fromStdString(path)));
    }
  }
  static void setIso(float iso) {
    engine->isovalue = iso;
    engine->dirty = true;
  }
  static QImage frame(int w = 200, int h = 200) {
    const QImage image = engine->renderFrame(w, h);
    EXPECT_FALSE(image.isNull());
    return image;
  }
};
GLTestContext* Rendering::gl = nullptr;
CountingEngine* Rendering::engine = nullptr;
QTemporaryDir* Rendering::dir = nullptr;
std::string Rendering::shell;

// The colour rule of the shaded mode: |diffuse|·(1 − iso, iso, 1 − iso).
bool shadedColour(Rgb p, float iso) {
  return std::abs(p.r - p.b) <= 1 && std::fabs(float(p.g) - float(p.r) * iso / (1 - iso)) <= 1.5f;
}

} // namespace

TEST_F(Rendering, ShadedSurfaceHasItsColourOnTheBackgroundInsideTheWhiteBox) {
  engine->showBoundingBox = true;
  setIso(0.3f); // a sphere of radius 0.65
  const QImage image = frame(240, 180);
  EXPECT_EQ(engine->extractedAt.size(), 1u);
  EXPECT_EQ(at(image, 0, 0), kBackground);
  EXPECT_EQ(at(image, 239, 179), kBackground);
  int surface = 0, white = 0, other = 0, low = 255, high = 0;
  for (int y = 0; y < 180; ++y)
    for (int x = 0; x < 240; ++x) {
      const Rgb p = at(image, x, y);
      if (p == kBackground) continue;
      if (p == kWhite) {
        ++white;
      } else if (shadedColour(p, 0.3f)) {
        ++surface;
        low = std::min(low, p.r), high = std::max(high, p.r);
      } else {
        ++other;
      }
    }
  EXPECT_EQ(other, 0);
  EXPECT_GT(white, 300); // the twelve edges of the box
  const double disc = M_PI * std::pow(sphereRadiusPixels(0.65, 3, 180), 2);
  EXPECT_NEAR(surface, disc, 0.1 * disc);
  EXPECT_TRUE(shadedColour(at(image, 120, 90), 0.3f));
  // Lit by the diffuse term: never brighter than the colour itself, and varying over the sphere.
  EXPECT_LE(high, 179);
  EXPECT_GT(high - low, 60);
  // Drawn again without a new extraction.
  frame(240, 180);
  EXPECT_EQ(engine->extractedAt.size(), 1u);
}

TEST_F(Rendering, BoundaryListsAreRedAndBlueFrontFilledBackLinesAndLeftOutInGlass) {
  // Two triangles facing the camera: list 0 on the left, list 1 on the right.
  GeometryData geometry;
  geometry.vertices = {{-1, -0.5f, 0}, {-0.2f, -0.5f, 0}, {-0.6f, 0.5f, 0}, {0.2f, -0.5f, 0}, {1, -0.5f, 0}, {0.6f, 0.5f, 0}};
  geometry.triangles[0] = {0, 1, 2};
  geometry.triangles[1] = {3, 4, 5};
  CacheData cache;
  cache.header.textureWidth = cache.header.textureHeight = 256;
  cache.header.box.axis[0] = PkVec3f(1, 0, 0), cache.header.box.axis[1] = PkVec3f(0, 1, 0), cache.header.box.axis[2] = PkVec3f(0, 0, 1);
  cache.header.box.halfExtent = PkVec3f(1, 1, 1);
  cache.header.dataMax = 1;
  const std::string path = QDir(dir->path()).filePath("lists.vx").toStdString();
  ASSERT_TRUE(writeGeometryFile(path, geometry));
  ASSERT_TRUE(writeCacheFile(path + ".cache", cache));
  load(path);
  engine->showBoundaries = true;

  // Centroids at x = ±0.6, y = −1/6 and distance 3: pixel offset 0.6 / (3·tan 22.5°) of half the frame.
  const int left = int(100 - 100 * 0.6 / (3 * 0.41421)), right = 199 - left, row = int(100 + 100 * (1.0 / 6) / (3 * 0.41421));
  QImage image = frame();
  const Rgb red = at(image, left, row), blue = at(image, right, row);
  EXPECT_GT(red.r - std::max(red.g, red.b), 50) << red.r << " " << red.g << " " << red.b;
  EXPECT_GT(blue.b - std::max(blue.r, blue.g), 50) << blue.r << " " << blue.g << " " << blue.b;
  EXPECT_EQ(at(image, 100, row), kBackground);
  EXPECT_EQ(at(image, 100, 10), kBackground);

  // Seen from behind only their edges are drawn.
  engine->rotation[1] = 180;
  image = frame();
  EXPECT_EQ(at(image, left, row), kBackground);
  EXPECT_EQ(at(image, right, row), kBackground);
  EXPECT_GT(count(image, [](Rgb p) { return !(p == kBackground); }), 100);

  // Glass draws no boundary lists; with wireframe there is no backdrop either. The vertices stay.
  engine->rotation[1] = 0;
  engine->shadingMode = 2;
  engine->wireframeOn = true;
  engine->showVertices = true;
  image = frame();
  EXPECT_EQ(count(image, [](Rgb p) { return p == Rgb{255, 0, 0}; }) + count(image, [](Rgb p) { return p == kBackground; }), 200 * 200);
  // The six corners as points of five pixels: (−1, −0.5) lands at (19.5, 140.2).
  EXPECT_EQ(at(image, 19, 140), (Rgb{255, 0, 0}));
  EXPECT_EQ(count(image, [](Rgb p) { return p == Rgb{255, 0, 0}; }), 6 * 25);
}

TEST_F(Rendering, TextureModeShowsTheVolumeSampledInZYXOrder) {
  setIso(0.5f);
  // Roughness: the variance of each surface pixel against the mean of its 3×3 neighbourhood.
  auto roughness = [](const QImage& image) {
    double sum = 0;
    int n = 0;
    for (int y = 1; y < image.height() - 1; ++y)
      for (int x = 1; x < image.width() - 1; ++x) {
        double mean = 0;
        bool inside = true;
        for (int dy = -1; dy <= 1; ++dy)
          for (int dx = -1; dx <= 1; ++dx) {
            const Rgb p = at(image, x + dx, y + dy);
            inside = inside && !(p == kBackground);
            mean += p.r / 9.0;
          }
        if (!inside) continue;
        sum += std::pow(at(image, x, y).r - mean, 2);
        ++n;
      }
    return n ? sum / n : 0.0;
  };
  const double shaded = roughness(frame());
  engine->shadingMode = 1;
  const QImage textured = frame();
  EXPECT_GT(roughness(textured), 4 * shaded + 2) << "shaded " << shaded;
  EXPECT_TRUE(shadedColour(at(textured, 100, 100), 0.5f)); // the colour stays, the diffuse term varies

  // A volume bright where its fastest axis is in its first half: the first lookup coordinate is the
  // model's z, which a quarter turn about y brings to the screen's x axis.
  unsigned char split[16];
  for (int i = 0; i < 16; ++i) split[i] = i < 8 ? 255 : 0;
  engine->renderer.licTex.bind();
  glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
  glTexImage3D(GL_TEXTURE_3D, 0, GL_LUMINANCE8, 16, 1, 1, 0, GL_LUMINANCE, GL_UNSIGNED_BYTE, split);
  engine->renderer.licTex.unbind();
  engine->rotation[1] = 90;
  const QImage halves = frame();
  double leftSum = 0, rightSum = 0;
  for (int y = 60; y < 140; ++y)
    for (int x = 60; x < 90; ++x) leftSum += at(halves, x, y).r, rightSum += at(halves, 199 - x, y).r;
  EXPECT_GT(leftSum, 20 * rightSum + 1000) << leftSum << " " << rightSum;

  const std::vector<uint8_t> marble = vxb::makeMarbleVolume();
  engine->renderer.licTex.bind();
  glTexImage3D(GL_TEXTURE_3D, 0, GL_LUMINANCE8, 256, 256, 256, 0, GL_LUMINANCE, GL_UNSIGNED_BYTE, marble.data());
  engine->renderer.licTex.unbind();
}

TEST_F(Rendering, GlassShowsTheBackdropWhichWireframeLeavesOut) {
  QImage backdrop(64, 64, QImage::Format_RGB32);
  backdrop.fill(QColor(255, 0, 0));
  for (int y = 0; y < 64; ++y)
    for (int x = 32; x < 64; ++x) backdrop.setPixel(x, y, qRgb(0, 255, 0));
  const QString picture = QDir(dir->path()).filePath("backdrop.png");
  ASSERT_TRUE(backdrop.save(picture));
  engine->setBackdropImage(picture);
  engine->shadingMode = 2;
  engine->showBoundaries = true;
  setIso(0.5f);

  const QImage glass = frame();
  engine->showBoundaries = false;
  EXPECT_EQ(frame(), glass); // no boundary lists in glass
  const Rgb topLeft = at(glass, 5, 5), topRight = at(glass, 194, 5);
  EXPECT_TRUE(topLeft.r > 240 && topLeft.g < 15) << topLeft.r << " " << topLeft.g;
  EXPECT_TRUE(topRight.g > 240 && topRight.r < 15) << topRight.r << " " << topRight.g;
  // The surface refracts the same picture: red left of the centre, green right of it.
  const Rgb a = at(glass, 80, 100), b = at(glass, 120, 100);
  EXPECT_GT(a.r - a.g, 100);
  EXPECT_GT(b.g - b.r, 100);
  // And the surface is there: without it (an isovalue no chunk holds) the backdrop alone shows,
  // which differs from the glass frame over the sphere.
  setIso(1.5f);
  const QImage bare = frame();
  int differing = 0;
  for (int y = 0; y < 200; ++y)
    for (int x = 0; x < 200; ++x) {
      const Rgb p = at(glass, x, y), q = at(bare, x, y);
      differing += std::abs(p.r - q.r) + std::abs(p.g - q.g) + std::abs(p.b - q.b) > 24;
    }
  EXPECT_GT(differing, 2000);
  EXPECT_EQ(at(bare, 5, 5), topLeft); // the backdrop itself is the same
  setIso(0.5f);

  engine->wireframeOn = true;
  const QImage wire = frame();
  EXPECT_EQ(at(wire, 5, 5), kBackground);
  EXPECT_GT(count(wire, [](Rgb p) { return p == kBackground; }), 200 * 200 / 2);
  // The next filled frame shows the whole picture again, though the last surface was drawn in lines.
  engine->wireframeOn = false;
  EXPECT_EQ(frame(), glass);
}

// A framebuffer of its own for drawing through the programs directly; the view's projection at
// distance 0 and an identity modelview.
class ProgramFrame {
public:
  explicit ProgramFrame(Camera& camera, int size) : size_(size) {
    glGenFramebuffersEXT(1, &fbo_);
    glGenRenderbuffersEXT(2, rb_);
    glBindFramebufferEXT(GL_FRAMEBUFFER_EXT, fbo_);
    const GLenum formats[2] = {GL_RGBA8, GL_DEPTH_COMPONENT24};
    const GLenum points[2] = {GL_COLOR_ATTACHMENT0_EXT, GL_DEPTH_ATTACHMENT_EXT};
    for (int i = 0; i < 2; ++i) {
      glBindRenderbufferEXT(GL_RENDERBUFFER_EXT, rb_[i]);
      glRenderbufferStorageEXT(GL_RENDERBUFFER_EXT, formats[i], size, size);
      glFramebufferRenderbufferEXT(GL_FRAMEBUFFER_EXT, points[i], GL_RENDERBUFFER_EXT, rb_[i]);
    }
    glViewport(0, 0, size, size);
    // A wireframe frame before leaves both faces in line mode; these pictures are of filled quads.
    glPolygonMode(GL_FRONT_AND_BACK, GL_FILL);
    camera.position = PkVec3f(0, 0, 0);
    camera.aspect = 1;
    camera.apply(0);
    glClearColor(0, 0, 0, 1);
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
  }
  ~ProgramFrame() {
    glBindFramebufferEXT(GL_FRAMEBUFFER_EXT, 0);
    glDeleteRenderbuffersEXT(2, rb_);
    glDeleteFramebuffersEXT(1, &fbo_);
  }
  // A quad filling the view at distance z, every vertex with weight w and normal n.
  static void quad(float z, float w, PkVec3f n) {
    const float h = -z * 0.41421356f;
    glBegin(GL_QUADS);
    for (int k = 0; k < 4; ++k) {
      glMultiTexCoord4fARB(GL_TEXTURE0, n.x, n.y, n.z, 0);
      glVertex4f((k == 1 || k == 2) ? h : -h, k < 2 ? -h : h, z, w);
    }
    glEnd();
  }
  QImage read() const { // bottom row first
    QImage image(size_, size_, QImage::Format_RGBA8888);
    glReadPixels(0, 0, size_, size_, GL_RGBA, GL_UNSIGNED_BYTE, image.bits());
    return image;
  }

private:
  int size_;
  GLuint fbo_ = 0, rb_[2] = {0, 0};
};

// Vertices whose edge does not cross (w < 0) leave the view in both programs. A weight of 0 is a
// vertex at the lower end of its edge (an isovalue equal to a vertex value): glass draws it too.
TEST_F(Rendering, SurfaceProgramsMapNegativeWeightsOutOfTheView) {
  const PkVec3f n(0, 0, 1);
  for (bool glass : {false, true})
    for (float w : {1.0f, 0.0f, -0.5f, -1.0f, -2.0f}) {
      ProgramFrame target(engine->camera, 20);
      GLSLShader& program = glass ? engine->renderer.glassProgram : engine->renderer.surfaceShader;
      ASSERT_TRUE(program.bind());
      program.setUniform1f("transparency", 1);
      if (!glass) program.setUniform3f("surfColor", 1, 1, 1), program.setUniform1f("useTexture", -1);
      ProgramFrame::quad(-3, w, n);
      program.unbind();
      const bool drawn = w >= 0;
      const int lit = count(target.read(), [](Rgb p) { return p.r + p.g + p.b > 0; });
      EXPECT_EQ(lit, drawn ? 400 : 0) << (glass ? "glass" : "surface") << " w " << w;
    }
  engine->camera.position = PkVec3f(0, 0, 3);
}

// The glass program on a tilted quad with known maps: the refraction is read at the fragment's
// screen position moved along normalize(eye) − normal, mixed with the reflection by the fresnel
// term, and a fifth of the colour is the lit base colour.
TEST_F(Rendering, GlassProgramRefractsDisplacedAndMixesAsDesigned) {
  // Maps of its own on the program's units: a ramp to refract (red = texel number) and a blue
  // environment.
  std::vector<unsigned char> ramp(256 * 4 * 3, 0);
  for (int y = 0; y < 4; ++y)
    for (int x = 0; x < 256; ++x) ramp[3 * (y * 256 + x)] = (unsigned char)x;
  const unsigned char blue[3] = {0, 0, 255};
  GLTexture2D env, refraction;
  for (GLTexture2D* t : {&env, &refraction}) {
    t->create(t == &env ? GL_TEXTURE0 : GL_TEXTURE1);
    if (t == &env) glTexImage2D(GL_TEXTURE_2D, 0, GL_RGB8, 1, 1, 0, GL_RGB, GL_UNSIGNED_BYTE, blue);
    else glTexImage2D(GL_TEXTURE_2D, 0, GL_RGB8, 256, 4, 0, GL_RGB, GL_UNSIGNED_BYTE, ramp.data());
    t->setParameteri(GL_TEXTURE_MIN_FILTER, GL_LINEAR);
    t->setParameteri(GL_TEXTURE_MAG_FILTER, GL_LINEAR);
    t->setParameteri(GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
    t->setParameteri(GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
    t->unbind();
  }

  const int size = 100;
  const float depth = 1.5f, mix = 0.9f, z = -3;
  const PkVec3f n = PkVec3f(0.5f, 0.2f, 0.8f).normalized();
  QImage image;
  {
    ProgramFrame target(engine->camera, size);
    GLSLShader& glass = engine->renderer.glassProgram;
    env.bind();
    refraction.bind();
    ASSERT_TRUE(glass.bind());
    glass.setUniform3f("BaseColor", 0, 1, 0);
    glass.setUniform1f("Depth", depth);
    glass.setUniform1f("MixRatio", mix);
    glass.setUniform1f("transparency", 1);
    ProgramFrame::quad(z, 1, n);
    ProgramFrame::quad(z + 1, 0, n); // nearer, but dropped by the w rule
    glass.unbind();
    refraction.unbind();
    env.unbind();
    image = target.read();
  }
  engine->camera.position = PkVec3f(0, 0, 3);

  const float h = -z * 0.41421356f;
  auto refracted = [](float t) { return std::min(255.f, std::max(0.f, t * 256 - 0.5f)); };
  double error = 0, shift = 0;
  int samples = 0;
  for (int y = 5; y < size - 5; y += 3)
    for (int x = 5; x < size - 5; x += 3) {
      const float u = (x + 0.5f) / size * 2 - 1, v = (y + 0.5f) / size * 2 - 1;
      const PkVec3f position(u * h, v * h, z), eye = position.normalized();
      const float fresnel = std::min(0.9f, std::max(0.1f, std::fabs(eye.dot(n)) * mix));
      const PkVec3f d = eye - n;
      const float s = (u + d.x * depth / -d.z) / 2 + 0.5f;
      if (s < 0.01f || s > 0.99f) continue; // away from the clamped border
      const float light = std::max(0.f, (PkVec3f(0, 10, 10) - position).normalized().dot(n));
      const Rgb p = at(image, x, y);
      error += std::fabs(p.r - 0.8f * fresnel * refracted(s)) + std::fabs(p.g - 0.2f * light * 255) +
               std::fabs(p.b - 0.8f * (1 - fresnel) * 255);
      shift += 0.8f * fresnel * std::fabs(refracted(s) - refracted(u / 2 + 0.5f));
      ++samples;
    }
  ASSERT_GT(samples, 300);
  EXPECT_LT(error / (3 * samples), 1.5);
  EXPECT_GT(shift / samples, 20); // the displacement is well above the tolerance
}

TEST_F(Rendering, HalfOpacityBlendsSurfaceAndBackground) {
  engine->backgroundColor[0] = 0, engine->backgroundColor[1] = 0.8f, engine->backgroundColor[2] = 0;
  setIso(0.2f); // colour (0.8, 0.2, 0.8): at most 51 green against the background's 204
  const QImage opaque = frame();
  const int covered = count(opaque, [](Rgb p) { return !(p == Rgb{0, 204, 0}); });
  EXPECT_EQ(count(opaque, [](Rgb p) { return p.g > 51; }), 200 * 200 - covered);

  engine->surfaceOpacity = 0.5f;
  const QImage blended = frame();
  EXPECT_FALSE(engine->renderer.primitives.empty());
  int between = 0, coveredNow = 0;
  for (int y = 0; y < 200; ++y)
    for (int x = 0; x < 200; ++x) {
      const Rgb p = at(blended, x, y);
      if (p == Rgb{0, 204, 0}) continue;
      ++coveredNow;
      // Between the background and the surface's colours, keeping the surface's red = blue.
      between += p.g > 51 && p.g < 204 && p.r > 0 && p.r < 204 && std::abs(p.r - p.b) <= 1;
    }
  EXPECT_NEAR(coveredNow, covered, 0.01 * covered);
  EXPECT_GT(between, 0.97 * coveredNow);
}

TEST_F(Rendering, TransparentRecordsAreSortedNearestFirstFromTheEye) {
  engine->surfaceOpacity = 0.5f;
  setIso(0.6f);
  engine->camera.position = PkVec3f(0.4f, -0.3f, 3);
  engine->rotation[0] = 20, engine->rotation[1] = 30;
  frame();
  ASSERT_GT(engine->renderer.primitives.size(), 1000u);
  // The eye in model coordinates, worked out by hand: the model is rotated by 20 degrees about x,
  // then 30 about y, and scaled; undo both on the camera position (in front of everything, since
  // the camera looks down -z from z = 3).
  const double rad = 3.14159265358979 / 180, s = engine->viewScale;
  const PkVec3f c = engine->camera.position;
  const double ax = 20 * rad, ay = 30 * rad;
  const double x1 = c.x, y1 = std::cos(ax) * c.y + std::sin(ax) * c.z, z1 = -std::sin(ax) * c.y + std::cos(ax) * c.z;
  const double x2 = std::cos(ay) * x1 - std::sin(ay) * z1, y2 = y1, z2 = std::sin(ay) * x1 + std::cos(ay) * z1;
  const PkVec3f eye(float(x2 / s), float(y2 / s), float(z2 / s));
  auto distance = [&eye](const PrimitiveRecord* r) { return (eye - PkVec3f(r->x, r->y, r->z)).lengthSquared(); };
  for (std::size_t i = 1; i < engine->renderer.primitives.size(); ++i)
    ASSERT_LE(distance(engine->renderer.primitives[i - 1]), distance(engine->renderer.primitives[i]) * 1.0001f + 1e-6f) << i;
  // The nearest record is really near the eye's side: closer than the model's centre is.
  EXPECT_LT(distance(engine->renderer.primitives.front()), eye.lengthSquared());

  // Any modelview: the eye is where the inverse puts the origin, here (-0.5, -2, 7).
  glLoadIdentity();
  glRotatef(40, 1, 1, 0);
  glTranslatef(0.5f, 2, -7);
  engine->depthSortPrimitives();
  const PkVec3f moved(-0.5f, -2, 7);
  for (std::size_t i = 1; i < engine->renderer.primitives.size(); ++i) {
    const PrimitiveRecord *a = engine->renderer.primitives[i - 1], *b = engine->renderer.primitives[i];
    ASSERT_LE((moved - PkVec3f(a->x, a->y, a->z)).lengthSquared(),
              (moved - PkVec3f(b->x, b->y, b->z)).lengthSquared() * 1.0001f + 1e-6f);
  }
  // A collapsed view has no eye: the order stays and nothing is printed.
  const std::vector<PrimitiveRecord*> before = engine->renderer.primitives;
  glLoadIdentity();
  glScalef(0, 0, 0);
  EXPECT_EQ(captureStderr([] { engine->depthSortPrimitives(); }), "");
  EXPECT_EQ(engine->renderer.primitives, before);
}

TEST_F(Rendering, OpacityBelowOneExtractsRecordsOnceThenRedraws) {
  setIso(0.5f);
  frame();
  frame();
  EXPECT_EQ(engine->extractedAt.size(), 1u);
  EXPECT_TRUE(engine->renderer.primitives.empty());
  engine->surfaceOpacity = 0.99f;
  frame();
  EXPECT_EQ(engine->extractedAt.size(), 2u);
  EXPECT_FALSE(engine->renderer.primitives.empty());
  frame();
  EXPECT_EQ(engine->extractedAt.size(), 2u);
}

TEST_F(Rendering, FamilyOfSurfacesDrawsEveryTenthBelowTheIsovalue) {
  engine->multiSurfaceOn = true;
  setIso(0.35f);
  const QImage image = frame();
  ASSERT_EQ(engine->extractedAt.size(), 4u);
  float expected = kIsoLow;
  for (float iso : engine->extractedAt) {
    EXPECT_EQ(iso, expected);
    expected += 0.1f;
  }
  EXPECT_EQ(engine->isovalue, 0.35f);
  // The outermost surface drawn is the one at 0.3 (radius 0.65), in its own colour.
  EXPECT_TRUE(shadedColour(at(image, 100, 100), 0.3f));
  const double disc = M_PI * std::pow(sphereRadiusPixels(0.65, 3, 200), 2);
  EXPECT_NEAR(count(image, [](Rgb p) { return !(p == kBackground); }), disc, 0.1 * disc);
  frame(); // every frame extracts the whole family again
  EXPECT_EQ(engine->extractedAt.size(), 8u);

  setIso(kIsoLow); // nothing lies below the lowest isovalue
  EXPECT_EQ(count(frame(), [](Rgb p) { return p == kBackground; }), 200 * 200);
  EXPECT_EQ(engine->extractedAt.size(), 8u);
}

// The view itself: after the extraction the surface lands in the widget's framebuffer.
TEST_F(Rendering, ViewShowsTheSurfaceInItsOwnFramebuffer) {
  {
    GLGPUIsosurface view;
    view.resize(160, 120);
    view.show();
    ASSERT_TRUE(view.loadDataset(QString::fromStdString(shell)));
    view.camera.position = PkVec3f(0, 0, 3);
    view.drawBoundaries(0);
    const QImage image = view.grabFramebuffer();
    ASSERT_EQ(image.size(), QSize(160, 120));
    EXPECT_EQ(at(image, 2, 2), (Rgb{0, 0, 0}));
    const Rgb centre = at(image, 80, 60);
    EXPECT_TRUE(centre.r > 20 && shadedColour(centre, 0.5f)) << centre.r << " " << centre.g << " " << centre.b;
    view.makeCurrent();
    view.releaseGL();
    view.doneCurrent();
  }
  gl->makeCurrent();
}

// A frame in every mode, opaque, blended and as a family, on a large dataset, without GL errors.
TEST_F(Rendering, LargeDatasetRendersWithoutErrorsInEveryMode) {
  const char* n = std::getenv("VX_RENDER_DEMO_N");
  const std::string path = buildSynthetic(dir->path(), "blobs:" + std::string(n ? n : "55"));
  ASSERT_FALSE(path.empty());
  load(path);
  EXPECT_GT(engine->dataset.totalTets, 190000u);
  engine->showBoundaries = engine->showBoundingBox = true;
  setIso(0.4f);
  for (int mode : {0, 1, 2})
    for (float opacity : {1.0f, 0.5f}) {
      engine->shadingMode = mode;
      engine->surfaceOpacity = opacity;
      const QImage image = frame(320, 240);
      EXPECT_EQ(takeGLError(), 0u) << "mode " << mode << " opacity " << opacity;
      EXPECT_GT(count(image, [](Rgb p) { return !(p == kBackground); }), 320 * 240 / 10);
    }
  engine->multiSurfaceOn = true;
  engine->surfaceOpacity = 1;
  frame(320, 240);
  EXPECT_EQ(takeGLError(), 0u);
}

// The pictures of the README, written only when VX_RENDER_DOCS names a folder.
TEST_F(Rendering, DocsPictures) {
  const char* out = std::getenv("VX_RENDER_DOCS");
  if (!out) GTEST_SKIP() << "set VX_RENDER_DOCS to a folder to write the pictures";
  const std::string path = buildSynthetic(dir->path(), "blobs:40");
  ASSERT_FALSE(path.empty());
  // An engine of its own, with the glass maps and the 3D texture as the viewer has them.
  CountingEngine view;
  const QString previous = QDir::currentPath();
  QDir::setCurrent(dir->path());
  view.initializeGL();
  QDir::setCurrent(previous);
  ASSERT_TRUE(view.loadDataset(QString::fromStdString(path)));
  view.showBoundaries = false;
  view.camera.position = PkVec3f(0, 0, 3.6f);
  view.rotation[0] = 25, view.rotation[1] = -35;
  view.backgroundColor[0] = 0.08f, view.backgroundColor[1] = 0.09f, view.backgroundColor[2] = 0.12f;
  view.isovalue = 0.35f;
  const char* names[3] = {"shaded.png", "texture3d.png", "glass.png"};
  for (int mode = 0; mode < 3; ++mode) {
    view.shadingMode = mode;
    const QImage image = view.renderFrame(640, 480);
    ASSERT_FALSE(image.isNull());
    EXPECT_TRUE(image.convertToFormat(QImage::Format_RGB888).save(QDir(QString::fromLocal8Bit(out)).filePath(names[mode])));
  }
  view.releaseGL();
  EXPECT_EQ(takeGLError(), 0u);
}

TEST_F(Rendering, BothBackEndsDrawTheSameSurface) {
  // The same frame from the compute pass and from the fragment passes, smooth and flat, opaque and
  // transparent: the surface covers the same pixels in nearly the same colours (quads are split
  // into triangles by each path in its own way, which moves a few pixels on their diagonals).
  CountingEngine passes;
  passes.options.backend = ExtractionBackend::FragmentPasses;
  passes.initializeGL();
  ASSERT_TRUE(passes.loadDataset(QString::fromStdString(shell)));
  ASSERT_EQ(engine->activeBackend(), ExtractionBackend::Compute) << "no compute shaders here";
  for (IsosurfaceEngine* e : {static_cast<IsosurfaceEngine*>(engine), static_cast<IsosurfaceEngine*>(&passes)}) {
    e->showBoundaries = e->showBoundingBox = false;
    e->backgroundColor[0] = 0.2f, e->backgroundColor[1] = 0.4f, e->backgroundColor[2] = 0.6f;
    e->camera.position = PkVec3f(0, 0, 3);
    e->rotation[0] = 25, e->rotation[1] = 40;
  }
  struct Case {
    float iso, opacity;
    bool flat;
  };
  for (const Case& c : {Case{0.4f, 1.0f, false}, Case{0.7f, 1.0f, true}, Case{0.5f, 0.6f, false}}) {
    QImage frames[2];
    int i = 0;
    for (IsosurfaceEngine* e : {static_cast<IsosurfaceEngine*>(engine), static_cast<IsosurfaceEngine*>(&passes)}) {
      e->isovalue = c.iso;
      e->surfaceOpacity = c.opacity;
      e->flatShading = c.flat;
      e->requestExtraction();
      frames[i++] = e->renderFrame(200, 200);
    }
    const int covered = count(frames[0], [](Rgb p) { return !(p == kBackground); });
    ASSERT_GT(covered, 5000) << "iso " << c.iso;
    int differing = 0;
    for (int y = 0; y < 200; ++y)
      for (int x = 0; x < 200; ++x) {
        const Rgb a = at(frames[0], x, y), b = at(frames[1], x, y);
        differing += std::abs(a.r - b.r) + std::abs(a.g - b.g) + std::abs(a.b - b.b) > 12;
      }
    EXPECT_LT(differing, covered / 50) << "iso " << c.iso << " opacity " << c.opacity << (c.flat ? " flat" : "");
  }
  passes.releaseGL();
}
