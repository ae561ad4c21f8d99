#include "ShaderSources.h"

namespace shaders {

// Output position = input vertex; texture coordinate 0 runs from 0 to 1 across the viewport in s
// and from 0 at the top to 1 at the bottom in t.
const char* const fullScreenVertex = R"(
void main()
{
  gl_Position = gl_Vertex;
  gl_TexCoord[0] = vec4((gl_Vertex.x + 1.0) * 0.5, 1.0 - (gl_Vertex.y + 1.0) * 0.5,
                        (gl_Vertex.z + 1.0) * 0.5, (gl_Vertex.w + 1.0) * 0.5);
}
)";

// ---- interpolation: crossing point (or gradient) of every edge, or the side flag in w ----
#define VX_INTERPOLATE_BODY(LOOKUP)                                                   \
  "  vec4 e = texture2D(Edges, gl_TexCoord[0].xy);\n"                                 \
  "  vec4 c = e * 0.999 + 0.0005;\n" LOOKUP                                           \
  "  float d = max(hi.w - lo.w, 0.000001);\n"                                         \
  "  float i = clamp((Flags.x - lo.w) / d, 0.0, 1.0);\n"                              \
  "  vec4 result = lo + (hi - lo) * i;\n"                                             \
  "  if (Flags.y > 0.0) result.xyz = normalize(result.xyz);\n"                        \
  "  result.w = i;\n"                                                                 \
  "  if (Flags.x > hi.w) result.w = -2.0;\n"                                          \
  "  if (Flags.x < lo.w) result.w = -1.0;\n"                                          \
  "  gl_FragColor = result;\n"                                                        \
  "}\n"

static const char* const interpolation2D =
    "uniform sampler2D Edges;\n"
    "uniform sampler2D Vertices;\n"
    "uniform vec2 Flags;\n"
    "void main()\n{\n" VX_INTERPOLATE_BODY(
        "  vec4 lo = texture2D(Vertices, c.xy);\n"
        "  vec4 hi = texture2D(Vertices, c.zw);\n");

static const char* const interpolationRect =
    "#extension GL_ARB_texture_rectangle : enable\n"
    "uniform sampler2D Edges;\n"
    "uniform sampler2DRect Vertices;\n"
    "uniform vec2 Flags;\n"
    "uniform vec2 Size;\n"
    "void main()\n{\n" VX_INTERPOLATE_BODY(
        "  c = c * vec4(Size.x, Size.y, Size.x, Size.y);\n"
        "  vec4 lo = texture2DRect(Vertices, c.xy);\n"
        "  vec4 hi = texture2DRect(Vertices, c.zw);\n");

#undef VX_INTERPOLATE_BODY

// ---- triangle assembly: nothing, a triangle or a quad, decided by the classification edge BC ----
// The entries map0.x, map0.y, map0.z, map0.w, map1.z, map1.w are the global indices of the edges
// AB, AC, AD, BC, BD, CD.
#define VX_TRIANGLE_BODY(CLASSIFY, MAPS)                                              \
  "  vec2 tc = gl_TexCoord[0].xy;\n" CLASSIFY                                         \
  "  vec4 indices = vec4(1.0, 2.0, 4.0, 3.0);\n"                                      \
  "  if (v.w < 0.0) indices = vec4(0.0, 1.0, 2.0, 2.0);\n"                            \
  "  if (v.w < -1.0) indices = vec4(2.0, 2.0, 4.0, 5.0);\n" MAPS                      \
  "  float entry[6];\n"                                                               \
  "  entry[0] = map0.x; entry[1] = map0.y; entry[2] = map0.z; entry[3] = map0.w;\n"   \
  "  entry[4] = map1.z; entry[5] = map1.w;\n"                                         \
  "  gl_FragColor = vec4(pick(entry, indices.x), pick(entry, indices.y),\n"           \
  "                      pick(entry, indices.z), pick(entry, indices.w));\n"          \
  "}\n"

#define VX_PICK                                                                       \
  "float pick(float entry[6], float n)\n"                                             \
  "{\n"                                                                               \
  "  if (n < 0.5) return entry[0];\n"                                                 \
  "  if (n < 1.5) return entry[1];\n"                                                 \
  "  if (n < 2.5) return entry[2];\n"                                                 \
  "  if (n < 3.5) return entry[3];\n"                                                 \
  "  if (n < 4.5) return entry[4];\n"                                                 \
  "  return entry[5];\n"                                                              \
  "}\n"

static const char* const triangle2D =
    "uniform sampler2D InterpVertices;\n"
    "uniform sampler2D Map;\n"
    "uniform vec4 Param;\n" VX_PICK
    "void main()\n{\n" VX_TRIANGLE_BODY(
        "  vec4 v = texture2D(InterpVertices, vec2(tc.x * 0.5, 1.0 - tc.y));\n",
        "  vec2 base = tc - vec2(Param.z, 0.0) * vec2(0.9, 0.4);\n"
        "  vec4 map0 = texture2D(Map, base);\n"
        "  vec4 map1 = texture2D(Map, base + vec2(Param.z, 0.0));\n");

static const char* const triangleRect =
    "#extension GL_ARB_texture_rectangle : enable\n"
    "uniform sampler2DRect InterpVertices;\n"
    "uniform sampler2DRect Map;\n"
    "uniform vec4 Param;\n" VX_PICK
    "void main()\n{\n" VX_TRIANGLE_BODY(
        "  vec4 v = texture2DRect(InterpVertices, vec2(tc.x * 0.5, 1.0 - tc.y) * Param.xy);\n",
        "  vec2 base = tc * Param.xy - vec2(0.9, 0.4);\n"
        "  vec4 map0 = texture2DRect(Map, base);\n"
        "  vec4 map1 = texture2DRect(Map, base + vec2(1.0, 0.0));\n");

#undef VX_TRIANGLE_BODY
#undef VX_PICK

// ---- gathers: the four vertices (or one gradient, four times) of each tetrahedron's primitive ----
// INDEX picks the edge index from g; the result is read at the texel of that edge's crossing point.
#define VX_GATHER(HEADER, SAMPLE_INDICES, INDEX, SAMPLE_RESULT)                       \
  HEADER                                                                              \
  "uniform vec2 Offset;\n"                                                            \
  "uniform vec4 Param;\n"                                                             \
  "void main()\n{\n"                                                                  \
  "  vec2 tc = gl_TexCoord[0].xy;\n" SAMPLE_INDICES INDEX                             \
  "  idx = idx + 0.1;\n"                                                              \
  "  vec2 p = vec2(mod(idx, Param.x), Param.y - idx * Param.z);\n" SAMPLE_RESULT      \
  "}\n"

#define VX_INDEX_BY_CORNER                                                            \
  "  float n = mod(tc.x * Param.x, 4.0);\n"                                           \
  "  float idx = g.w;\n"                                                              \
  "  if (n < 3.0) idx = g.z;\n"                                                       \
  "  if (n < 2.0) idx = g.y;\n"                                                       \
  "  if (n < 1.0) idx = g.x;\n"

#define VX_INDEX_THIRD "  float idx = g.z;\n"

#define VX_INDICES_2D                                                                 \
  "  vec2 position = vec2(tc.x * 0.5 + 2.0 * Offset.x, tc.y + 2.0 * Offset.y);\n"     \
  "  position.y = 1.0 - position.y;\n"                                                \
  "  vec4 g = texture2D(Indices, position);\n"

#define VX_INDICES_RECT                                                               \
  "  vec2 position = vec2(tc.x * 0.25 + Offset.x, tc.y + Offset.y);\n"                \
  "  position.y = 1.0 - position.y;\n"                                                \
  "  vec4 g = texture2DRect(Indices, position * Param.xy);\n"

static const char* const vertexGather2D = VX_GATHER(
    "uniform sampler2D InterpVertices;\nuniform sampler2D Indices;\n", VX_INDICES_2D, VX_INDEX_BY_CORNER,
    "  gl_FragColor = texture2D(InterpVertices, p * Param.zw);\n");
static const char* const vertexGatherRect = VX_GATHER(
    "#extension GL_ARB_texture_rectangle : enable\n"
    "uniform sampler2DRect InterpVertices;\nuniform sampler2DRect Indices;\n",
    VX_INDICES_RECT, VX_INDEX_BY_CORNER, "  gl_FragColor = texture2DRect(InterpVertices, p);\n");
static const char* const normalGather2D = VX_GATHER(
    "uniform sampler2D InterpGradients;\nuniform sampler2D Indices;\n", VX_INDICES_2D, VX_INDEX_THIRD,
    "  gl_FragColor = texture2D(InterpGradients, p * Param.zw);\n");
static const char* const normalGatherRect = VX_GATHER(
    "#extension GL_ARB_texture_rectangle : enable\n"
    "uniform sampler2DRect InterpGradients;\nuniform sampler2DRect Indices;\n",
    VX_INDICES_RECT, VX_INDEX_THIRD, "  gl_FragColor = texture2DRect(InterpGradients, p);\n");

#undef VX_GATHER
#undef VX_INDEX_BY_CORNER
#undef VX_INDEX_THIRD
#undef VX_INDICES_2D
#undef VX_INDICES_RECT

const PassSet pass2D = {interpolation2D, triangle2D, vertexGather2D, normalGather2D};
const PassSet passRect = {interpolationRect, triangleRect, vertexGatherRect, normalGatherRect};

// ---- the surface: shaded, or with the diffuse term modulated by the 3D texture ----
const char* const surfaceVertex = R"(
uniform float Flag;
uniform vec4 modelScale;
uniform vec4 modelOffset;
varying vec3 normal;
varying vec3 position;
void main()
{
  vec4 v = vec4(gl_Vertex.xyz, gl_Vertex.w < 0.0 ? -1.0 : 1.0);
  position = v.xyz;
  vec3 n = Flag < 0.0 ? gl_MultiTexCoord0.xyz : gl_Normal;
  normal = gl_NormalMatrix * n;
  gl_TexCoord[0] = (v - modelOffset) * modelScale;
  gl_FrontColor = gl_Color;
  gl_BackColor = gl_Color;
  gl_Position = gl_ModelViewProjectionMatrix * v;
}
)";

const char* const surfaceFragment = R"(
uniform vec3 lightPos;
uniform sampler3D LICtex;
uniform float transparency;
uniform vec3 surfColor;
uniform float useTexture;
uniform float Flag;
varying vec3 normal;
varying vec3 position;
void main()
{
  float diffuse = dot(normalize(lightPos - position), normalize(normal));
  if (useTexture > 0.0) diffuse *= texture3D(LICtex, gl_TexCoord[0].zyx).x;
  vec3 c = Flag < 0.0 ? surfColor : gl_Color.rgb;
  gl_FragColor = vec4(abs(diffuse) * c, transparency);
}
)";

// ---- glass: reflection of the environment and the refracted backdrop ----
const char* const glassVertex = R"(
uniform vec3 LightPos;
uniform float Flag;
varying vec3 Normal;
varying vec3 EyeDir;
varying vec4 EyePos;
varying float LightIntensity;
void main()
{
  vec4 v = vec4(gl_Vertex.xyz, gl_Vertex.w < 0.0 ? -1.0 : 1.0);
  vec3 n = Flag < 0.0 ? gl_MultiTexCoord0.xyz : gl_Normal;
  gl_Position = gl_ModelViewProjectionMatrix * v;
  Normal = normalize(gl_NormalMatrix * n);
  EyeDir = (gl_ModelViewMatrix * v).xyz;
  EyePos = gl_ModelViewProjectionMatrix * v;
  LightIntensity = max(dot(normalize(LightPos - EyeDir), Normal), 0.0);
}
)";

const char* const glassFragment = R"(
uniform vec3 BaseColor;
uniform float Depth;
uniform float MixRatio;
uniform float transparency;
uniform float FrameWidth;
uniform float FrameHeight;
uniform sampler2D EnvMap;
uniform sampler2D RefractionMap;
varying vec3 Normal;
varying vec3 EyeDir;
varying vec4 EyePos;
varying float LightIntensity;
void main()
{
  vec3 r = reflect(EyeDir, Normal);
  vec2 index;
  index.y = dot(normalize(r), vec3(0.0, 1.0, 0.0));
  r.y = 0.0;
  index.x = 0.5 * dot(normalize(r), vec3(1.0, 0.0, 0.0));
  if (r.z >= 0.0) {
    index = (index + 1.0) * 0.5;
  } else {
    index.t = (index.t + 1.0) * 0.5;
    index.s = 1.0 - 0.5 * index.s;
  }
  vec3 envColor = texture2D(EnvMap, index).rgb;
  float fresnel = clamp(abs(dot(normalize(EyeDir), Normal)) * MixRatio, 0.1, 0.9);
  vec3 d = normalize(EyeDir) - normalize(Normal);
  float depthVal = Depth / -d.z;
  vec2 e = EyePos.xy / EyePos.w;
  float s = clamp((e.x + d.x * depthVal) / 2.0 + 0.5, 0.0, 1.0 - 1.0 / 2048.0) * FrameWidth / 2048.0;
  float t = clamp((e.y + d.y * depthVal) / 2.0 + 0.5, 0.0, 1.0 - 1.0 / 2048.0) * FrameHeight / 2048.0;
  vec3 refractionColor = texture2D(RefractionMap, vec2(s, t)).rgb;
  vec3 colour = mix(envColor, refractionColor, fresnel);
  colour = mix(colour, LightIntensity * BaseColor, 0.2);
  gl_FragColor = vec4(colour, transparency);
}
)";

} // namespace shaders
