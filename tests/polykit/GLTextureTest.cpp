// Texture objects on a real context: creation, unit and target handling, the parameter tables,
// sampling of rectangle, 3D and 1D textures, cube-map support and the reflection map.
#include "PolykitGLTest.h"

#include <cmath>
#include <cstring>
#include <type_traits>

namespace {

using TextureTest = PolykitGL;

struct BufferTexture : GLTexture2D {
  void fill(int w, int h, int components) {
    width_ = w;
    height_ = h;
    components_ = components;
    allocateData(static_cast<size_t>(w) * h * components);
    std::memset(data_.get(), 9, dataSize_);
  }
};

GLint texParameter(GLenum target, GLenum name) {
  GLint v = 0;
  glGetTexParameteriv(target, name, &v);
  return v;
}

static_assert(!std::is_copy_constructible<GLTexture2D>::value && !std::is_copy_assignable<GLTexture3D>::value,
              "a texture name has one owner");
static_assert(std::is_nothrow_move_constructible<GLTextureRectangle>::value, "textures move");

} // namespace

TEST_F(TextureTest, NeverCreatedRefusesBindButEnableStillReachesTheDriver) {
  GLTexture2D t;
  glActiveTextureARB(GL_TEXTURE0);
  EXPECT_FALSE(t.bind());
  EXPECT_FALSE(t.bind(GL_TEXTURE3));
  EXPECT_FALSE(t.unbind());
  EXPECT_FALSE(t.unbind(GL_TEXTURE3));
  EXPECT_FALSE(t.destroy());
  EXPECT_FALSE(t.isValid());
  EXPECT_EQ(getInteger(GL_ACTIVE_TEXTURE), GL_TEXTURE0); // no unit was selected
  EXPECT_EQ(t.target(), GLenum(GL_TEXTURE_2D));
  t.enable();
  EXPECT_TRUE(glIsEnabled(GL_TEXTURE_2D));
  t.disable();
  EXPECT_FALSE(glIsEnabled(GL_TEXTURE_2D));

  EXPECT_FALSE(t.makeReflectionMap(4, 4, 0.1f, 0.2f, 0.3f, 1.0f));
  EXPECT_EQ(t.data(), nullptr);
  EXPECT_EQ(t.width(), 0);
  EXPECT_EQ(t.components(), 0);
}

TEST_F(TextureTest, CreateLeavesItBoundOnItsUnitWithClampAndNearest) {
  GLTexture2D first;
  EXPECT_TRUE(first.create());
  EXPECT_EQ(first.unit(), GLenum(GL_TEXTURE0));
  GLTexture2D t;
  ASSERT_TRUE(t.create(GL_TEXTURE2));
  EXPECT_TRUE(t.isValid());
  EXPECT_EQ(getInteger(GL_ACTIVE_TEXTURE), GL_TEXTURE2);
  EXPECT_EQ(getInteger(GL_TEXTURE_BINDING_2D), GLint(t.id()));
  EXPECT_EQ(texParameter(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S), GL_CLAMP);
  EXPECT_EQ(texParameter(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T), GL_CLAMP);
  EXPECT_EQ(texParameter(GL_TEXTURE_2D, GL_TEXTURE_WRAP_R), GL_CLAMP);
  EXPECT_EQ(texParameter(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER), GL_NEAREST);
  EXPECT_EQ(texParameter(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER), GL_NEAREST);
  EXPECT_EQ(getInteger(GL_UNPACK_ALIGNMENT), 1);
  EXPECT_EQ(getInteger(GL_PACK_ALIGNMENT), 1);
  EXPECT_TRUE(t.parami().empty() && t.paramf().empty()); // the defaults are not table entries

  // An explicit unit binds and unbinds there and leaves the texture's own unit alone.
  EXPECT_TRUE(t.bind(GL_TEXTURE1));
  EXPECT_EQ(getInteger(GL_ACTIVE_TEXTURE), GL_TEXTURE1);
  EXPECT_EQ(getInteger(GL_TEXTURE_BINDING_2D), GLint(t.id()));
  EXPECT_TRUE(glIsEnabled(GL_TEXTURE_2D));
  EXPECT_TRUE(t.unbind(GL_TEXTURE1));
  EXPECT_EQ(getInteger(GL_TEXTURE_BINDING_2D), 0);
  EXPECT_FALSE(glIsEnabled(GL_TEXTURE_2D));
  EXPECT_EQ(t.unit(), GLenum(GL_TEXTURE2));
  EXPECT_TRUE(t.unbind());
  glActiveTextureARB(GL_TEXTURE0);
}

TEST_F(TextureTest, RecreatingReleasesTheNameBufferAndTablesAndDestroyKeepsTheSizes) {
  BufferTexture t;
  ASSERT_TRUE(t.create(GL_TEXTURE0));
  const GLuint oldName = t.id();
  t.fill(2, 3, 4);
  t.setParameteri(GL_TEXTURE_WRAP_S, GL_REPEAT);
  t.setParameterf(GL_TEXTURE_MIN_LOD, 1.0f);
  static const GLint ivalues[4] = {0, 0, 0, 0};
  static const GLfloat fvalues[4] = {0, 0, 0, 0};
  t.setParameteriv(GL_TEXTURE_BORDER_COLOR, ivalues);
  t.setParameterfv(GL_TEXTURE_BORDER_COLOR, fvalues);

  ASSERT_TRUE(t.create(GL_TEXTURE1));
  ASSERT_NE(t.id(), oldName);
  EXPECT_FALSE(glIsTexture(oldName));
  EXPECT_TRUE(glIsTexture(t.id()));
  EXPECT_EQ(t.data(), nullptr);
  EXPECT_TRUE(t.parami().empty() && t.paramf().empty() && t.paramiv().empty() && t.paramfv().empty());
  EXPECT_EQ(t.unit(), GLenum(GL_TEXTURE1));

  t.fill(2, 3, 4);
  const GLuint name = t.id();
  EXPECT_TRUE(t.destroy());
  EXPECT_FALSE(glIsTexture(name));
  EXPECT_FALSE(t.isValid());
  EXPECT_EQ(t.id(), 0u);
  EXPECT_EQ(t.target(), 0u);
  EXPECT_EQ(t.unit(), 0u);
  EXPECT_EQ(t.data(), nullptr);
  EXPECT_EQ(t.width(), 2);
  EXPECT_EQ(t.height(), 3);
  EXPECT_EQ(t.components(), 4);
  EXPECT_FALSE(t.destroy());
  EXPECT_TRUE(t.create(GL_TEXTURE0)); // the concrete class knows its target again
  EXPECT_EQ(t.target(), GLenum(GL_TEXTURE_2D));

  // Moving hands the name over; the moved-from texture owns nothing.
  GLTexture2D moved(std::move(t));
  EXPECT_EQ(t.id(), 0u);
  EXPECT_FALSE(t.isValid());
  EXPECT_TRUE(moved.isValid());
  EXPECT_TRUE(moved.bind());
  EXPECT_TRUE(moved.unbind());
}

TEST_F(TextureTest, ParameterTablesKeepTheFirstEntryAndAreAppliedOnEveryBind) {
  GLTexture2D t;
  ASSERT_TRUE(t.create(GL_TEXTURE0));
  EXPECT_TRUE(t.setParameteri(GL_TEXTURE_MIN_FILTER, GL_LINEAR));
  EXPECT_FALSE(t.setParameteri(GL_TEXTURE_MIN_FILTER, GL_NEAREST_MIPMAP_NEAREST));
  EXPECT_FALSE(t.parami().insert({GL_TEXTURE_MIN_FILTER, GL_NEAREST}).second);
  EXPECT_EQ(t.parami().at(GL_TEXTURE_MIN_FILTER), GL_LINEAR);
  t.setParameteri(GL_TEXTURE_WRAP_S, GL_REPEAT);
  // The float table comes after the integer one, the float vectors after the integer vectors.
  t.setParameteri(GL_TEXTURE_MAG_FILTER, GL_NEAREST);
  t.setParameterf(GL_TEXTURE_MAG_FILTER, static_cast<GLfloat>(GL_LINEAR));
  static const GLint intBorder[4] = {0, 0, 0, 0};
  static const GLfloat border[4] = {0.25f, 0.5f, 0.75f, 1.0f};
  t.setParameteriv(GL_TEXTURE_BORDER_COLOR, intBorder);
  t.setParameterfv(GL_TEXTURE_BORDER_COLOR, border);
  EXPECT_TRUE(t.unbind());

  // Whatever the driver holds now, bind sends the tables again.
  glBindTexture(GL_TEXTURE_2D, t.id());
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_NEAREST);
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP);
  glBindTexture(GL_TEXTURE_2D, 0);
  ASSERT_TRUE(t.bind());
  EXPECT_EQ(texParameter(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER), GL_LINEAR);
  EXPECT_EQ(texParameter(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S), GL_REPEAT);
  EXPECT_EQ(texParameter(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER), GL_LINEAR);
  GLfloat got[4] = {};
  glGetTexParameterfv(GL_TEXTURE_2D, GL_TEXTURE_BORDER_COLOR, got);
  EXPECT_EQ(std::vector<GLfloat>(got, got + 4), std::vector<GLfloat>(border, border + 4));
  EXPECT_TRUE(t.unbind());
}

TEST_F(TextureTest, AbstractTextureAndCubeMapCreation) {
  GLTexture abstract;
  std::string err = captureStderr([&] { EXPECT_FALSE(abstract.create(5)); });
  EXPECT_EQ(err, pk::errorText("don't call GLTexture::create(5) directly"));
  err = captureStderr([&] { EXPECT_FALSE(abstract.create()); });
  EXPECT_EQ(err, pk::errorText("don't call GLTexture::create(33984) directly")); // GL_TEXTURE0
  EXPECT_FALSE(abstract.isValid());

  GLTextureCubeMap cube;
  EXPECT_EQ(cube.target(), GLenum(GL_TEXTURE_CUBE_MAP));
  ASSERT_TRUE(cube.create(GL_TEXTURE0));
  EXPECT_EQ(getInteger(GL_TEXTURE_BINDING_CUBE_MAP), GLint(cube.id()));
  EXPECT_TRUE(cube.unbind());

  // A driver without either cube-map extension.
  const GLboolean arb = __GLEW_ARB_texture_cube_map, ext = __GLEW_EXT_texture_cube_map;
  __GLEW_ARB_texture_cube_map = __GLEW_EXT_texture_cube_map = GL_FALSE;
  std::unique_ptr<GLTextureCubeMap> without;
  err = captureStderr([&] { without.reset(new GLTextureCubeMap); });
  EXPECT_EQ(err, pk::errorText("Cube map texture not supported"));
  EXPECT_EQ(without->target(), GLenum(GL_TEXTURE_2D));
  err = captureStderr([&] { EXPECT_FALSE(without->create(GL_TEXTURE0)); });
  EXPECT_EQ(err, pk::errorText("Cube map texture not supported"));
  EXPECT_FALSE(without->isValid());
  __GLEW_ARB_texture_cube_map = arb;
  __GLEW_EXT_texture_cube_map = ext;
}

TEST_F(TextureTest, RectangleVolumeAndLineTexturesUploadAndSample) {
  const unsigned char rect[3 * 2 * 4] = {0,  0,  0,  255, 1,  1,  1,  255, 2,  2,  2,  255,
                                         10, 20, 30, 255, 40, 50, 60, 255, 70, 80, 90, 200};
  GLTextureRectangle r;
  ASSERT_TRUE(r.create(GL_TEXTURE0));
  glTexImage2D(GL_TEXTURE_RECTANGLE_ARB, 0, GL_RGBA8, 3, 2, 0, GL_RGBA, GL_UNSIGNED_BYTE, rect);
  EXPECT_TRUE(r.unbind());

  unsigned char volume[2 * 2 * 2 * 4];
  for (int i = 0; i < 32; ++i) volume[i] = static_cast<unsigned char>(i * 8);
  GLTexture3D v;
  v.setDepth(2);
  EXPECT_EQ(v.depth(), 2);
  ASSERT_TRUE(v.create(GL_TEXTURE1));
  glTexImage3D(GL_TEXTURE_3D, 0, GL_RGBA8, 2, 2, 2, 0, GL_RGBA, GL_UNSIGNED_BYTE, volume);
  EXPECT_TRUE(v.unbind());

  const unsigned char line[4 * 4] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
  GLTexture1D l;
  ASSERT_TRUE(l.create(GL_TEXTURE2));
  glTexImage1D(GL_TEXTURE_1D, 0, GL_RGBA8, 4, 0, GL_RGBA, GL_UNSIGNED_BYTE, line);
  EXPECT_TRUE(l.unbind());

  GLSLShader shader;
  ASSERT_TRUE(shader.loadFromString(kPassVertexShader,
                                    "#extension GL_ARB_texture_rectangle : enable\n"
                                    "uniform sampler2DRect rect; uniform sampler3D volume;\n"
                                    "uniform sampler1D line; uniform int which;\n"
                                    "void main() {\n"
                                    "  if (which == 0) gl_FragColor = texture2DRect(rect, vec2(2.5, 1.5));\n"
                                    "  else if (which == 1) gl_FragColor = texture3D(volume, vec3(0.75, 0.25, 0.75));\n"
                                    "  else gl_FragColor = texture1D(line, 0.625);\n"
                                    "}\n"));
  ColourTarget target(4, 4);
  ASSERT_TRUE(r.bind() && v.bind() && l.bind());
  ASSERT_TRUE(shader.bind());
  shader.setUniform1i("rect", 0);
  shader.setUniform1i("volume", 1);
  shader.setUniform1i("line", 2);
  shader.setUniform1i("which", 0);
  EXPECT_TRUE(allPixelsAre(target.draw(), {70, 80, 90, 200}));
  shader.setUniform1i("which", 1);
  // texel (1, 0, 1): index ((1 * 2 + 0) * 2 + 1) * 4 = 20
  EXPECT_TRUE(allPixelsAre(target.draw(), {160, 168, 176, 184}));
  shader.setUniform1i("which", 2);
  EXPECT_TRUE(allPixelsAre(target.draw(), {9, 10, 11, 12}));
  shader.unbind();
  EXPECT_TRUE(r.unbind() && v.unbind() && l.unbind());
  glActiveTextureARB(GL_TEXTURE0);
}

TEST_F(TextureTest, ReflectionMapFollowsTheFormula) {
  GLTexture2D t;
  ASSERT_TRUE(t.create());
  ASSERT_TRUE(t.makeReflectionMap(3, 3, 0.0f, 0.5f, 0.5f, 1.0f / 255.0f));
  EXPECT_EQ(t.components(), 4);
  EXPECT_EQ(t.width(), 3);
  EXPECT_EQ(t.height(), 3);
  // Centre: x = y = 0, intensity kd + kr = 1.
  EXPECT_EQ(t.red(1, 1), 255);
  // Corner: x = y = -0.5, 0.5·√0.75 + 0.5·|0.25 − 0.75|^1 = 0.6830127 → 174.
  EXPECT_EQ(t.red(0, 0), 174);
  EXPECT_EQ(t.green(0, 0), 174);
  EXPECT_EQ(t.blue(0, 0), 174);
  EXPECT_EQ(t.alpha(0, 0), 127);

  const float ka = 0.1f, kd = 0.3f, kr = 0.5f, shininess = 0.05f;
  ASSERT_TRUE(t.makeReflectionMap(16, 8, ka, kd, kr, shininess));
  EXPECT_EQ(t.width(), 16);
  EXPECT_EQ(t.dataSize(), 16u * 8u * 4u);
  // Values worked out beforehand in double precision (floor of intensity · 255).
  EXPECT_EQ(t.red(7, 3), 207);  // 207.77
  EXPECT_EQ(t.red(3, 6), 217);  // 217.11
  EXPECT_EQ(t.red(0, 0), 61);   // 61.50
  // The map is symmetric about its centre, grey, with alpha 127 everywhere.
  for (int i = 0; i < 8; ++i)
    for (int j = 0; j < 16; ++j) {
      EXPECT_EQ(t.red(j, i), t.red(15 - j, 7 - i)) << j << "," << i;
      EXPECT_EQ(t.green(j, i), t.red(j, i));
      EXPECT_EQ(t.blue(j, i), t.red(j, i));
      EXPECT_EQ(t.alpha(j, i), 127);
    }
}
