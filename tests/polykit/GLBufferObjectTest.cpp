// Buffer, framebuffer and renderbuffer objects on a real context.
#include "PolykitGLTest.h"

#include "GLBufferObject.h"
#include "GLRenderbufferEXT.h"

#include <numeric>
#include <type_traits>

namespace {

using BufferTest = PolykitGL;

static_assert(!std::is_copy_constructible<GLBufferObject>::value && !std::is_copy_assignable<GLBufferObject>::value &&
                  !std::is_copy_constructible<GLFramebufferEXT>::value &&
                  !std::is_copy_constructible<GLRenderbufferEXT>::value,
              "one owner per name");

GLenum attachmentType(GLenum attachment) {
  GLint type = 0;
  glGetFramebufferAttachmentParameterivEXT(GL_FRAMEBUFFER_EXT, attachment,
                                           GL_FRAMEBUFFER_ATTACHMENT_OBJECT_TYPE_EXT, &type);
  return static_cast<GLenum>(type);
}

GLuint attachmentName(GLenum attachment) {
  GLint name = 0;
  glGetFramebufferAttachmentParameterivEXT(GL_FRAMEBUFFER_EXT, attachment,
                                           GL_FRAMEBUFFER_ATTACHMENT_OBJECT_NAME_EXT, &name);
  return static_cast<GLuint>(name);
}

void clearTo(float r, float g, float b, float a) {
  glViewport(0, 0, 4, 4);
  glClearColor(r, g, b, a);
  glClear(GL_COLOR_BUFFER_BIT);
}

} // namespace

TEST_F(BufferTest, DataRoundTripsAndLeavesTheTargetUnbound) {
  GLBufferObject other(GL_ARRAY_BUFFER), buffer(GL_ARRAY_BUFFER);
  EXPECT_EQ(buffer.size(), 0);
  std::vector<float> values(64);
  std::iota(values.begin(), values.end(), 0.5f);
  other.bind();
  ASSERT_TRUE(buffer.setData(int(values.size() * sizeof(float)), values.data(), GL_STATIC_DRAW));
  EXPECT_EQ(getInteger(GL_ARRAY_BUFFER_BINDING), 0); // whatever was bound before
  EXPECT_EQ(buffer.size(), 256);
  const float patch[2] = {-1, -2};
  EXPECT_TRUE(buffer.setSubData(8 * sizeof(float), sizeof patch, patch));
  std::vector<float> back(64);
  EXPECT_TRUE(buffer.getSubData(0, 256, back.data()));
  values[8] = -1;
  values[9] = -2;
  EXPECT_EQ(back, values);
  std::vector<float> part(3);
  EXPECT_TRUE(buffer.getSubData(7 * sizeof(float), 3 * sizeof(float), part.data()));
  EXPECT_EQ(part, (std::vector<float>{values[7], -1, -2}));
  EXPECT_EQ(getInteger(GL_ARRAY_BUFFER_BINDING), 0);
  EXPECT_FALSE(buffer.create());
  EXPECT_FALSE(buffer.destroy());

  GLBufferObject moved(std::move(buffer));
  EXPECT_EQ(buffer.id(), 0u);
  EXPECT_TRUE(moved.getSubData(0, 4, part.data()));
  EXPECT_EQ(part[0], 0.5f);
}

TEST_F(BufferTest, PixelPackBufferBindsAsArray) {
  GLBufferObject pack(GL_PIXEL_PACK_BUFFER);
  ASSERT_TRUE(pack.setData(64, nullptr, GL_DYNAMIC_DRAW));
  EXPECT_EQ(getInteger(GL_PIXEL_PACK_BUFFER_BINDING), 0);
  EXPECT_TRUE(pack.bindAsArray());
  EXPECT_EQ(getInteger(GL_ARRAY_BUFFER_BINDING), GLint(pack.id()));
  EXPECT_EQ(getInteger(GL_PIXEL_PACK_BUFFER_BINDING), 0);
  EXPECT_TRUE(pack.unbindAsArray());
  EXPECT_EQ(getInteger(GL_ARRAY_BUFFER_BINDING), 0);
  EXPECT_TRUE(pack.bind());
  EXPECT_EQ(getInteger(GL_PIXEL_PACK_BUFFER_BINDING), GLint(pack.id()));
  EXPECT_TRUE(pack.unbind());
}

TEST_F(BufferTest, FramebufferAttachesTexturesByTarget) {
  GLFramebufferEXT fbo;
  EXPECT_FALSE(fbo.isValid()); // a name becomes a framebuffer at its first bind
  EXPECT_TRUE(fbo.create() && fbo.destroy());
  ASSERT_TRUE(fbo.bind());
  EXPECT_TRUE(fbo.isValid());
  EXPECT_EQ(getInteger(GL_FRAMEBUFFER_BINDING_EXT), GLint(fbo.id()));

  GLTexture2D flat;
  flat.create(GL_TEXTURE0);
  glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA32F_ARB, 4, 4, 0, GL_RGBA, GL_FLOAT, nullptr);
  flat.unbind();
  EXPECT_TRUE(fbo.attachTexture(GL_COLOR_ATTACHMENT0_EXT, &flat, 0, 0));
  EXPECT_EQ(glCheckFramebufferStatusEXT(GL_FRAMEBUFFER_EXT), GLenum(GL_FRAMEBUFFER_COMPLETE_EXT));
  EXPECT_EQ(attachmentName(GL_COLOR_ATTACHMENT0_EXT), flat.id());

  GLTextureRectangle rect;
  rect.create(GL_TEXTURE0);
  glTexImage2D(GL_TEXTURE_RECTANGLE_ARB, 0, GL_RGBA32F_ARB, 5, 3, 0, GL_RGBA, GL_FLOAT, nullptr);
  rect.unbind();
  EXPECT_TRUE(fbo.attachTexture(GL_COLOR_ATTACHMENT0_EXT, &rect));
  EXPECT_EQ(glCheckFramebufferStatusEXT(GL_FRAMEBUFFER_EXT), GLenum(GL_FRAMEBUFFER_COMPLETE_EXT));
  EXPECT_EQ(attachmentName(GL_COLOR_ATTACHMENT0_EXT), rect.id());

  GLTexture3D volume;
  volume.create(GL_TEXTURE0);
  glTexImage3D(GL_TEXTURE_3D, 0, GL_RGBA8, 2, 2, 3, 0, GL_RGBA, GL_UNSIGNED_BYTE, nullptr);
  volume.unbind();
  EXPECT_TRUE(fbo.attachTexture(GL_COLOR_ATTACHMENT0_EXT, &volume, 0, 2));
  GLint layer = -1;
  glGetFramebufferAttachmentParameterivEXT(GL_FRAMEBUFFER_EXT, GL_COLOR_ATTACHMENT0_EXT,
                                           GL_FRAMEBUFFER_ATTACHMENT_TEXTURE_3D_ZOFFSET_EXT, &layer);
  EXPECT_EQ(layer, 2);

  GLTexture1D line;
  line.create(GL_TEXTURE0);
  glTexImage1D(GL_TEXTURE_1D, 0, GL_RGBA8, 8, 0, GL_RGBA, GL_UNSIGNED_BYTE, nullptr);
  line.unbind();
  EXPECT_TRUE(fbo.attachTexture(GL_COLOR_ATTACHMENT0_EXT, &line));
  EXPECT_EQ(attachmentName(GL_COLOR_ATTACHMENT0_EXT), line.id());

  GLTextureCubeMap cube;
  cube.create(GL_TEXTURE0);
  cube.unbind();
  const std::string err = captureStderr([&] { EXPECT_FALSE(fbo.attachTexture(GL_COLOR_ATTACHMENT0_EXT, &cube)); });
  EXPECT_EQ(err, pk::errorText("attaching this texture not supported"));
  EXPECT_EQ(attachmentName(GL_COLOR_ATTACHMENT0_EXT), line.id());
  EXPECT_TRUE(fbo.unbind());
  EXPECT_EQ(getInteger(GL_FRAMEBUFFER_BINDING_EXT), 0);
}

TEST_F(BufferTest, RenderbufferReadsBackAndRestoresAttachmentAndBinding) {
  GLFramebufferEXT fbo, elsewhere;
  GLRenderbufferEXT red, green;
  EXPECT_FALSE(red.create());
  // Never attached: refused before any OpenGL work.
  unsigned char pixel[4 * 4 * 4] = {};
  EXPECT_FALSE(red.readPixels(GL_RGBA, GL_UNSIGNED_BYTE, 4, 4, pixel));

  ASSERT_TRUE(red.setStorage(GL_RGBA8, 4, 4));
  ASSERT_TRUE(green.setStorage(GL_RGBA8, 4, 4));
  EXPECT_EQ(getInteger(GL_RENDERBUFFER_BINDING_EXT), 0);
  EXPECT_TRUE(red.isValid());
  fbo.bind();
  red.attach(&fbo, GL_COLOR_ATTACHMENT0_EXT);
  EXPECT_EQ(red.framebuffer(), &fbo);
  ASSERT_EQ(glCheckFramebufferStatusEXT(GL_FRAMEBUFFER_EXT), GLenum(GL_FRAMEBUFFER_COMPLETE_EXT));
  clearTo(1, 0, 0, 1);
  green.attach(&fbo, GL_COLOR_ATTACHMENT0_EXT);
  clearTo(0, 1, 0, 1);

  elsewhere.bind();
  ASSERT_TRUE(red.readPixels(GL_RGBA, GL_UNSIGNED_BYTE, 4, 4, pixel));
  EXPECT_TRUE(allPixelsAre(std::vector<unsigned char>(pixel, pixel + sizeof pixel), {255, 0, 0, 255}));
  EXPECT_EQ(getInteger(GL_FRAMEBUFFER_BINDING_EXT), GLint(elsewhere.id()));
  fbo.bind();
  EXPECT_EQ(attachmentName(GL_COLOR_ATTACHMENT0_EXT), green.id()); // the point's holder is back

  // A texture at the attachment point: refused, and the caller's binding is restored.
  GLTexture2D texture;
  texture.create(GL_TEXTURE0);
  glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA8, 4, 4, 0, GL_RGBA, GL_UNSIGNED_BYTE, nullptr);
  texture.unbind();
  fbo.attachTexture(GL_COLOR_ATTACHMENT0_EXT, &texture);
  elsewhere.bind();
  EXPECT_FALSE(red.readPixels(GL_RGBA, GL_UNSIGNED_BYTE, 4, 4, pixel));
  EXPECT_EQ(getInteger(GL_FRAMEBUFFER_BINDING_EXT), GLint(elsewhere.id()));
  fbo.bind();
  EXPECT_EQ(attachmentType(GL_COLOR_ATTACHMENT0_EXT), GLenum(GL_TEXTURE));
  fbo.unbind();

  const GLuint name = green.id();
  {
    GLRenderbufferEXT moved(std::move(green));
    EXPECT_EQ(green.id(), 0u);
    EXPECT_EQ(moved.id(), name);
  }
  EXPECT_FALSE(glIsRenderbufferEXT(name));
}
