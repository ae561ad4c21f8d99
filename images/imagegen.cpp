// Build-time generator of the images Vorex carries inside its executable. Every picture is computed
// here (no art is downloaded or stored), packed as 32-bit 0xAARRGGBB pixels row after row from the
// top, compressed in qUncompress layout and written as a C++ table.
#include <QByteArray>
#include <QFile>
#include <QString>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace {

struct Rgb {
  double r = 0, g = 0, b = 0;
};

Rgb mix(const Rgb& a, const Rgb& b, double t) {
  return {a.r + (b.r - a.r) * t, a.g + (b.g - a.g) * t, a.b + (b.b - a.b) * t};
}

uint32_t pack(const Rgb& c, double alpha = 1.0) {
  auto q = [](double v) { return uint32_t(std::lround(std::clamp(v, 0.0, 1.0) * 255.0)); };
  return (q(alpha) << 24) | (q(c.r) << 16) | (q(c.g) << 8) | q(c.b);
}

struct Image {
  int width, height;
  bool alpha;
  std::vector<uint32_t> pixels;
  Image(int w, int h, bool a) : width(w), height(h), alpha(a), pixels(size_t(w) * h, 0) {}
  uint32_t& at(int x, int y) { return pixels[size_t(y) * width + x]; }
};

// A 5×7 pixel font for the few words the pictures carry.
const char* glyph(char c) {
  switch (c) {
  case 'A': return " ### #   ##   #######   ##   ##   #";
  case 'C': return " ### #   ##    #    #    #   # ### ";
  case 'D': return "#### #   ##   ##   ##   ##   ##### ";
  case 'E': return "######    #    #### #    #    #####";
  case 'F': return "######    #    #### #    #    #    ";
  case 'G': return " ### #   ##    # ####   ##   # ####";
  case 'H': return "#   ##   ##   #######   ##   ##   #";
  case 'I': return " ###   #    #    #    #    #   ### ";
  case 'L': return "#    #    #    #    #    #    #####";
  case 'M': return "#   ### # ## # ##   ##   ##   ##   #";
  case 'N': return "#   ###  ## # ##  ###   ##   ##   #";
  case 'O': return " ### #   ##   ##   ##   ##   # ### ";
  case 'P': return "#### #   ##   ##### #    #    #    ";
  case 'R': return "#### #   ##   ##### # #  #  # #   #";
  case 'S': return " #####    #     ###     #    ##### ";
  case 'T': return "#####  #    #    #    #    #    #  ";
  case 'U': return "#   ##   ##   ##   ##   ##   # ### ";
  case 'V': return "#   ##   ##   ##   ##   # # #   #  ";
  case 'X': return "#   ##   # # #   #   # # #   ##   #";
  default: return "                                   ";
  }
}

void drawText(Image& img, const std::string& text, int x0, int y0, int scale, const Rgb& color,
              const Rgb& shadow) {
  for (int pass = 0; pass < 2; ++pass) {
    const int off = pass == 0 ? std::max(1, scale / 3) : 0;
    const Rgb& c = pass == 0 ? shadow : color;
    int cx = x0;
    for (char ch : text) {
      const char* g = glyph(ch);
      for (int row = 0; row < 7; ++row)
        for (int col = 0; col < 5; ++col) {
          if (g[row * 5 + col] != '#') continue;
          for (int sy = 0; sy < scale; ++sy)
            for (int sx = 0; sx < scale; ++sx) {
              const int px = cx + col * scale + sx + off, py = y0 + row * scale + sy + off;
              if (px >= 0 && py >= 0 && px < img.width && py < img.height) img.at(px, py) = pack(c);
            }
        }
      cx += 6 * scale;
    }
  }
}

// A field of three Gaussian blobs; its level set is ray-marched for the splash picture.
double blobField(double x, double y, double z) {
  auto g = [](double dx, double dy, double dz, double s) {
    return std::exp(-(dx * dx + dy * dy + dz * dz) / (s * s));
  };
  return g(x + 0.45, y - 0.1, z, 0.55) + g(x - 0.4, y + 0.15, z + 0.1, 0.5) + g(x, y - 0.45, z - 0.2, 0.4);
}

Image makeSplash() {
  Image img(414, 356, false);
  const Rgb top{0.02, 0.04, 0.12}, bottom{0.08, 0.16, 0.32};
  for (int y = 0; y < img.height; ++y)
    for (int x = 0; x < img.width; ++x) {
      Rgb c = mix(top, bottom, double(y) / img.height);
      // a faint tetrahedral lattice behind the surface
      const double u = x * 0.08, v = y * 0.08;
      const double lines = std::min({std::fabs(std::sin(u)), std::fabs(std::sin(v)), std::fabs(std::sin(u + v))});
      if (lines < 0.04) c = mix(c, Rgb{0.2, 0.35, 0.6}, 0.5);
      img.at(x, y) = pack(c);
    }
  // Ray-march the blob isosurface in the right part of the picture.
  const double iso = 0.5;
  for (int y = 0; y < img.height; ++y)
    for (int x = 0; x < img.width; ++x) {
      const double px = (x - 270.0) / 110.0, py = -(y - 190.0) / 110.0;
      double t = -2.0, prev = blobField(px, py, t) - iso;
      bool hit = false;
      for (int i = 1; i <= 160 && !hit; ++i) {
        const double tn = -2.0 + i * 0.025, f = blobField(px, py, tn) - iso;
        if (prev < 0 && f >= 0) {
          t = tn - 0.025 * f / (f - prev);
          hit = true;
        }
        prev = f;
      }
      if (!hit) continue;
      const double h = 1e-3;
      double nx = blobField(px + h, py, t) - blobField(px - h, py, t);
      double ny = blobField(px, py + h, t) - blobField(px, py - h, t);
      double nz = blobField(px, py, t + h) - blobField(px, py, t - h);
      const double len = std::sqrt(nx * nx + ny * ny + nz * nz);
      nx = -nx / len; ny = -ny / len; nz = -nz / len;
      const double lx = 0.4, ly = 0.6, lz = -0.7, ll = std::sqrt(lx * lx + ly * ly + lz * lz);
      const double diffuse = std::max(0.0, (nx * lx + ny * ly + nz * lz) / ll);
      const double spec = std::pow(std::max(0.0, -nz * 0.8 + ny * 0.6), 30.0);
      const Rgb base{0.5, 0.5 + 0.5 * py, 0.55};
      Rgb c{base.r * (0.15 + 0.85 * diffuse) + spec, base.g * (0.15 + 0.85 * diffuse) + spec,
            base.b * (0.15 + 0.85 * diffuse) + spec};
      img.at(x, y) = pack(c);
    }
  drawText(img, "VOREX", 24, 250, 9, Rgb{1, 0.85, 0.3}, Rgb{0, 0, 0});
  drawText(img, "GPU ISOSURFACES", 26, 322, 3, Rgb{0.85, 0.9, 1.0}, Rgb{0, 0, 0});
  return img;
}

// A magnifying glass with a plus or a minus, on a transparent ground.
Image makeZoomIcon(bool plus) {
  Image img(16, 16, true);
  for (int y = 0; y < 16; ++y)
    for (int x = 0; x < 16; ++x) {
      const double dx = x + 0.5 - 6.5, dy = y + 0.5 - 6.5, r = std::sqrt(dx * dx + dy * dy);
      double a = 0;
      Rgb c{0.15, 0.15, 0.2};
      if (r < 4.6) { a = 0.35; c = Rgb{0.75, 0.88, 1.0}; }           // lens
      if (r >= 4.6 && r < 6.0) { a = 1; c = Rgb{0.15, 0.15, 0.2}; }  // rim
      const double hx = x + 0.5, hy = y + 0.5;                       // handle
      if (hx + hy > 20.5 && std::fabs(hx - hy) < 1.6 && hx < 15.5 && hy < 15.5) { a = 1; c = Rgb{0.35, 0.2, 0.1}; }
      const bool bar = std::fabs(dy) < 1.0 && std::fabs(dx) < 3.0;
      const bool post = std::fabs(dx) < 1.0 && std::fabs(dy) < 3.0;
      if (bar || (plus && post)) { a = 1; c = Rgb{0.1, 0.1, 0.1}; }
      img.at(x, y) = pack(c, a);
    }
  return img;
}

// A panorama of a sky over a tiled floor, mapped so that the top row is the zenith.
Image makeGlassEnvironment() {
  Image img(512, 512, false);
  for (int y = 0; y < 512; ++y)
    for (int x = 0; x < 512; ++x) {
      const double u = x / 512.0, v = y / 512.0;
      Rgb c;
      if (v < 0.55) {
        c = mix(Rgb{0.15, 0.35, 0.85}, Rgb{0.75, 0.85, 1.0}, v / 0.55);
        const double cloud = 0.5 + 0.5 * std::sin(u * 25.0 + std::sin(v * 30.0) * 2.0) * std::sin(v * 40.0 + u * 7.0);
        if (cloud > 0.8 && v > 0.2) c = mix(c, Rgb{1, 1, 1}, (cloud - 0.8) * 4.0);
        const double sx = u - 0.7, sy = v - 0.2, sun = std::sqrt(sx * sx + sy * sy);
        if (sun < 0.05) c = Rgb{1.0, 0.95, 0.7};
        else if (sun < 0.1) c = mix(c, Rgb{1.0, 0.9, 0.6}, (0.1 - sun) / 0.05);
        // distant buildings on the horizon
        const double skyline = 0.55 - 0.04 * (1 + std::sin(std::floor(u * 40.0) * 12.9898)) * 0.8;
        if (v > skyline) c = Rgb{0.25, 0.27, 0.32};
      } else {
        const double depth = (v - 0.55) / 0.45;
        const double fx = (u - 0.5) / (depth + 0.05) * 2.0, fz = 1.0 / (depth + 0.05);
        const bool tile = (int(std::floor(fx)) + int(std::floor(fz))) % 2 == 0;
        c = tile ? Rgb{0.85, 0.8, 0.7} : Rgb{0.35, 0.25, 0.2};
        c = mix(Rgb{0.55, 0.55, 0.6}, c, std::min(1.0, depth * 3.0));
      }
      img.at(x, y) = pack(c);
    }
  return img;
}

// A coloured grid with rings, so that the refraction through the surface is plain to see.
Image makeGlassRefraction() {
  Image img(512, 512, false);
  for (int y = 0; y < 512; ++y)
    for (int x = 0; x < 512; ++x) {
      const double u = x / 512.0, v = y / 512.0;
      Rgb c = mix(Rgb{0.95, 0.6, 0.2}, Rgb{0.2, 0.5, 0.9}, u);
      c = mix(c, Rgb{0.3, 0.8, 0.4}, v * 0.5);
      if ((x / 32 + y / 32) % 2 == 0) c = mix(c, Rgb{1, 1, 1}, 0.35);
      if (x % 32 < 2 || y % 32 < 2) c = Rgb{0.1, 0.1, 0.15};
      const double dx = u - 0.5, dy = v - 0.5, r = std::sqrt(dx * dx + dy * dy);
      if (std::fabs(std::fmod(r, 0.125) - 0.0625) < 0.006) c = Rgb{0.9, 0.1, 0.2};
      img.at(x, y) = pack(c);
    }
  return img;
}

QByteArray compressImage(const Image& img) {
  QByteArray raw(int(img.pixels.size() * 4), '\0');
  for (size_t i = 0; i < img.pixels.size(); ++i) {
    const uint32_t p = img.pixels[i];
    for (int k = 0; k < 4; ++k) raw[int(i * 4 + k)] = char((p >> (8 * k)) & 0xFF); // least significant byte first
  }
  return qCompress(raw, 9);
}

} // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: imagegen OUTPUT.cpp\n");
    return 2;
  }
  struct Entry {
    const char* name;
    Image image;
  };
  std::vector<Entry> entries;
  entries.push_back({"splash.png", makeSplash()});
  entries.push_back({"zoomin.png", makeZoomIcon(true)});
  entries.push_back({"zoomout.png", makeZoomIcon(false)});
  entries.push_back({"glassenv.png", makeGlassEnvironment()});
  entries.push_back({"glassrefract.png", makeGlassRefraction()});

  std::string out = "// Generated by imagegen from the pictures it computes. Do not edit.\n"
                    "#include \"EmbeddedImages.h\"\n\n";
  for (size_t i = 0; i < entries.size(); ++i) {
    const QByteArray data = compressImage(entries[i].image);
    out += "static const unsigned char image_" + std::to_string(i) + "_data[] = {";
    for (int k = 0; k < data.size(); ++k) {
      if (k % 24 == 0) out += "\n";
      out += std::to_string(int(static_cast<unsigned char>(data[k]))) + ",";
    }
    out += "\n};\n";
  }
  out += "\nconst EmbeddedImage embeddedImages[] = {\n";
  for (size_t i = 0; i < entries.size(); ++i) {
    const Image& img = entries[i].image;
    out += "  {" + std::to_string(img.width) + ", " + std::to_string(img.height) + ", 32, image_" +
           std::to_string(i) + "_data, sizeof(image_" + std::to_string(i) + "_data), 0, nullptr, " +
           (img.alpha ? "true" : "false") + ", \"" + entries[i].name + "\"},\n";
  }
  out += "  {0, 0, 0, nullptr, 0, 0, nullptr, false, nullptr},\n};\n";

  QFile file(QString::fromLocal8Bit(argv[1]));
  if (!file.open(QIODevice::WriteOnly) || file.write(out.data(), qint64(out.size())) != qint64(out.size())) {
    std::fprintf(stderr, "imagegen: cannot write %s\n", argv[1]);
    return 1;
  }
  return 0;
}
