// draw_icons: draws the station's icons and writes them as .ico files.
//
//   draw_icons OUTDIR
//
// Runs on the build host (it is built with the host's compiler, also when the
// station itself is cross-compiled) and writes icon128.ico ... icon149.ico.
// Every picture is drawn here from a few shapes on a 32 x 32 grid; the files
// carry 32 x 32 and 16 x 16 images, and the slot list's state images also a
// 24 x 32 image (the image list's size), all 32-bit with an AND mask.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace {

struct Rgba {
  std::uint8_t r = 0, g = 0, b = 0, a = 0;
};

constexpr Rgba kClear{0, 0, 0, 0};
constexpr Rgba kWhite{255, 255, 255, 255};
constexpr Rgba kBlack{0, 0, 0, 255};
constexpr Rgba kChip{52, 56, 64, 255};
constexpr Rgba kChipEdge{20, 22, 26, 255};
constexpr Rgba kPin{190, 190, 198, 255};
constexpr Rgba kGold{222, 178, 60, 255};
constexpr Rgba kRed{214, 30, 30, 255};
constexpr Rgba kDarkRed{120, 16, 20, 255};
constexpr Rgba kGreen{30, 160, 60, 255};
constexpr Rgba kLightGreen{150, 220, 150, 255};
constexpr Rgba kBlue{40, 90, 190, 255};
constexpr Rgba kGrey{150, 150, 150, 255};
constexpr Rgba kLightGrey{205, 205, 205, 255};
constexpr Rgba kOrange{245, 130, 20, 255};
constexpr Rgba kYellow{255, 220, 40, 255};
constexpr Rgba kFolder{235, 190, 70, 255};
constexpr Rgba kFolderDark{190, 140, 30, 255};
constexpr Rgba kPaper{250, 250, 245, 255};

// A 32 x 32 canvas; shapes are given in pixel coordinates, inclusive.
class Canvas {
 public:
  Canvas() : px_(32 * 32, kClear) {}
  explicit Canvas(Rgba background) : px_(32 * 32, background) {}

  Rgba At(int x, int y) const { return px_[static_cast<std::size_t>(y * 32 + x)]; }

  void Set(int x, int y, Rgba c) {
    if (x < 0 || y < 0 || x >= 32 || y >= 32) return;
    px_[static_cast<std::size_t>(y * 32 + x)] = c;
  }
  void Fill(int x0, int y0, int x1, int y1, Rgba c) {
    for (int y = y0; y <= y1; ++y)
      for (int x = x0; x <= x1; ++x) Set(x, y, c);
  }
  void Frame(int x0, int y0, int x1, int y1, Rgba c) {
    Fill(x0, y0, x1, y0, c);
    Fill(x0, y1, x1, y1, c);
    Fill(x0, y0, x0, y1, c);
    Fill(x1, y0, x1, y1, c);
  }
  void Disc(double cx, double cy, double r, Rgba c) {
    Where([&](double x, double y) { return std::hypot(x - cx, y - cy) <= r; }, c);
  }
  void Ring(double cx, double cy, double r, double width, Rgba c) {
    Where(
        [&](double x, double y) {
          const double d = std::hypot(x - cx, y - cy);
          return d <= r && d >= r - width;
        },
        c);
  }
  // A thick line from (x0, y0) to (x1, y1).
  void Line(double x0, double y0, double x1, double y1, double width, Rgba c) {
    const double dx = x1 - x0, dy = y1 - y0;
    const double len2 = dx * dx + dy * dy;
    Where(
        [&](double x, double y) {
          double t = len2 == 0 ? 0 : ((x - x0) * dx + (y - y0) * dy) / len2;
          t = std::clamp(t, 0.0, 1.0);
          return std::hypot(x - (x0 + t * dx), y - (y0 + t * dy)) <= width / 2;
        },
        c);
  }
  // A filled triangle.
  void Triangle(double ax, double ay, double bx, double by, double cx, double cy, Rgba c) {
    auto side = [](double px, double py, double qx, double qy, double x, double y) {
      return (qx - px) * (y - py) - (qy - py) * (x - px);
    };
    Where(
        [&](double x, double y) {
          const double s1 = side(ax, ay, bx, by, x, y);
          const double s2 = side(bx, by, cx, cy, x, y);
          const double s3 = side(cx, cy, ax, ay, x, y);
          return (s1 >= 0 && s2 >= 0 && s3 >= 0) || (s1 <= 0 && s2 <= 0 && s3 <= 0);
        },
        c);
  }
  // Text in a 3 x 5 pixel font, each font pixel `scale` pixels wide.
  void Text(int x, int y, const std::string& text, int scale, Rgba c) {
    for (char ch : text) {
      const char* rows = Glyph(ch);
      for (int gy = 0; gy < 5; ++gy)
        for (int gx = 0; gx < 3; ++gx)
          if (rows[gy * 3 + gx] == '#') Fill(x + gx * scale, y + gy * scale,
                                             x + gx * scale + scale - 1,
                                             y + gy * scale + scale - 1, c);
      x += 4 * scale;
    }
  }

 private:
  template <typename Inside>
  void Where(Inside inside, Rgba c) {
    for (int y = 0; y < 32; ++y)
      for (int x = 0; x < 32; ++x)
        if (inside(x + 0.5, y + 0.5)) Set(x, y, c);
  }

  static const char* Glyph(char ch) {
    switch (ch) {
      case 'G': return "####..#.##.####";
      case 'O': return "####.##.##.####";
      case 'S': return "####..###..####";
      case 'A': return ".#.#.#####.##.#";
      case 'V': return "#.##.##.##.#.#.";
      case 'E': return "####..####..###";
      case 'K': return "#.###.#..##.#.#";
      case 'X': return "#.##.#.#.#.##.#";
      case 'o': return "...####.##.####";
      case 'k': return "#..#.###.#.##.#";
      case '?': return "###..#.#.....#.";
      case '2': return "###..#####..###";
      case '0': return "####.##.##.####";
      default: return "...............";
    }
  }

  std::vector<Rgba> px_;
};

// --- The pictures' parts -------------------------------------------------

// A chip: a dark body with pins on its left and right sides.
void DrawChip(Canvas& c, int x0, int y0, int x1, int y1, Rgba body = kChip) {
  for (int y = y0 + 2; y <= y1 - 2; y += 3) {
    c.Fill(x0 - 2, y, x0 - 1, y + 1, kPin);
    c.Fill(x1 + 1, y, x1 + 2, y + 1, kPin);
  }
  c.Fill(x0, y0, x1, y1, body);
  c.Frame(x0, y0, x1, y1, kChipEdge);
  c.Disc(x0 + 2.5, y0 + 2.5, 1.0, kPin);  // pin-1 mark
}

// A flash card: a rectangle with its top right corner cut, contacts on top.
void DrawCard(Canvas& c, Rgba body, Rgba edge) {
  c.Fill(8, 4, 23, 27, body);
  c.Triangle(18, 3, 24.5, 3, 24.5, 9.5, kClear);
  for (int x = 10; x <= 17; x += 2) c.Fill(x, 5, x, 9, kGold);
  c.Frame(8, 4, 23, 27, edge);
  c.Line(18, 4, 23, 9, 1.2, edge);
  c.Fill(11, 14, 20, 24, kWhite);  // the label
}

void DrawDocument(Canvas& c, int x0, int y0, int x1, int y1) {
  c.Fill(x0, y0, x1, y1, kPaper);
  c.Frame(x0, y0, x1, y1, kGrey);
  c.Triangle(x1 - 4, y0, x1 + 0.9, y0, x1 + 0.9, y0 + 5, kClear);
  c.Line(x1 - 4, y0, x1, y0 + 4, 1.0, kGrey);
  for (int y = y0 + 4; y <= y1 - 2; y += 2) c.Fill(x0 + 2, y, x1 - 3, y, kLightGrey);
}

void DrawArrow(Canvas& c, double x0, double y0, double x1, double y1, Rgba color) {
  c.Line(x0, y0, x1 - 3, y1, 2.5, color);
  c.Triangle(x1 + 1, y1, x1 - 4, y1 - 4, x1 - 4, y1 + 4, color);
}

void DrawFlames(Canvas& c) {
  c.Triangle(3, 30, 9, 30, 5, 14, kOrange);
  c.Triangle(8, 30, 16, 30, 12, 9, kOrange);
  c.Triangle(14, 30, 22, 30, 19, 6, kOrange);
  c.Triangle(20, 30, 29, 30, 26, 12, kOrange);
  c.Triangle(6, 30, 12, 30, 9, 19, kYellow);
  c.Triangle(15, 30, 21, 30, 18, 15, kYellow);
  c.Triangle(21, 30, 26, 30, 24, 20, kYellow);
}

void DrawLabel(Canvas& c, int x0, int y0, int x1, int y1, const std::string& text, int tx,
               int ty) {
  c.Fill(x0, y0, x1, y1, kRed);
  c.Frame(x0, y0, x1, y1, kDarkRed);
  c.Text(tx, ty, text, 1, kWhite);
}

// --- The icons --------------------------------------------------------------

struct Icon {
  int id;
  bool stateImage;  // also drawn 24 x 32 for the slot list's image list
  std::function<Canvas()> draw;
};

std::vector<Icon> Icons() {
  return {
      // The application: a flash disk (a stick with its plug) with "KX" on it.
      {128, false,
       [] {
         Canvas c;
         c.Fill(11, 2, 20, 8, kLightGrey);
         c.Frame(11, 2, 20, 8, kGrey);
         c.Fill(13, 4, 14, 5, kChipEdge);
         c.Fill(17, 4, 18, 5, kChipEdge);
         c.Fill(7, 9, 24, 30, kBlue);
         c.Frame(7, 9, 24, 30, kChipEdge);
         c.Text(8, 14, "KX", 2, kWhite);
         c.Disc(16, 27, 1.5, kGreen);
         return c;
       }},
      // Button "Update": a document with an arrow into a chip, a red GO label.
      {129, false,
       [] {
         Canvas c;
         DrawDocument(c, 1, 1, 12, 16);
         DrawChip(c, 19, 14, 29, 29);
         DrawArrow(c, 8, 12, 18, 21, kGreen);
         DrawLabel(c, 1, 22, 13, 30, "GO", 3, 24);
         return c;
       }},
      // Button "Target Device": a chip under a magnifier.
      {130, false,
       [] {
         Canvas c;
         DrawChip(c, 5, 5, 20, 20);
         c.Disc(15, 15, 7, Rgba{190, 225, 250, 150});
         c.Ring(15, 15, 8, 2.2, kBlack);
         c.Line(21, 21, 29, 29, 3.5, kFolderDark);
         return c;
       }},
      // State image 0: a controller chip with a numeric label.
      {131, true,
       [] {
         Canvas c(kWhite);
         DrawChip(c, 5, 6, 26, 26);
         c.Fill(9, 12, 22, 20, kWhite);
         c.Text(10, 14, "20", 1, kBlack);
         c.Text(18, 14, "0", 1, kBlack);
         return c;
       }},
      // Button "empty" (code flash): a chip in flames.
      {132, false,
       [] {
         Canvas c;
         DrawFlames(c);
         DrawChip(c, 9, 9, 22, 24);
         return c;
       }},
      // Button "Source File": a folder.
      {133, false,
       [] {
         Canvas c;
         c.Fill(3, 7, 13, 10, kFolderDark);
         c.Fill(3, 10, 28, 26, kFolder);
         c.Frame(3, 10, 28, 26, kFolderDark);
         c.Fill(4, 13, 27, 13, kFolderDark);
         return c;
       }},
      // State image 3: a dark red chip.
      {134, true,
       [] {
         Canvas c(kWhite);
         DrawChip(c, 6, 6, 25, 25, kDarkRed);
         return c;
       }},
      // State image 1: a flash card on a green background.
      {135, true,
       [] {
         Canvas c(kLightGreen);
         c.Fill(2, 1, 29, 30, kGreen);
         DrawCard(c, kBlue, kChipEdge);
         return c;
       }},
      // State image 2: a grey flash card with a grey dot.
      {136, true,
       [] {
         Canvas c(kWhite);
         DrawCard(c, kLightGrey, kGrey);
         c.Disc(15.5, 19, 3, kGrey);
         return c;
       }},
      // State image 6: a green "ok".
      {141, true,
       [] {
         Canvas c(kWhite);
         c.Fill(2, 8, 29, 24, kGreen);
         c.Text(5, 11, "ok", 3, kWhite);
         return c;
       }},
      // State image 7: a chip with a red question mark.
      {142, true,
       [] {
         Canvas c(kWhite);
         DrawChip(c, 6, 8, 25, 28);
         c.Text(10, 2, "?", 4, kRed);
         return c;
       }},
      // State image 5: a document with an arrow into a chip.
      {143, true,
       [] {
         Canvas c(kWhite);
         DrawDocument(c, 1, 1, 13, 18);
         DrawChip(c, 18, 14, 28, 29);
         DrawArrow(c, 9, 13, 17, 21, kGreen);
         return c;
       }},
      // State image 4: a chip in flames.
      {144, true,
       [] {
         Canvas c(kWhite);
         DrawFlames(c);
         DrawChip(c, 9, 9, 22, 24);
         return c;
       }},
      // Button "Save configure": a chip under a red SAVE label.
      {146, false,
       [] {
         Canvas c;
         DrawChip(c, 7, 11, 24, 29);
         DrawLabel(c, 0, 1, 31, 9, "SAVE", 1, 3);
         return c;
       }},
      // State image 8: a flash card crossed out in red.
      {149, true,
       [] {
         Canvas c(kWhite);
         DrawCard(c, kLightGrey, kGrey);
         c.Line(5, 5, 26, 27, 3, kRed);
         c.Line(26, 5, 5, 27, 3, kRed);
         return c;
       }},
  };
}

// --- Scaling and the .ico format ---------------------------------------------------

struct Image {
  int width, height;
  std::vector<Rgba> px;  // top-down
};

// Area-averaging resample of the 32 x 32 canvas to width x height.
Image Resample(const Canvas& c, int width, int height) {
  Image out{width, height, {}};
  const int n = 4;  // samples per axis per output pixel
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      double r = 0, g = 0, b = 0, a = 0;
      for (int sy = 0; sy < n; ++sy) {
        for (int sx = 0; sx < n; ++sx) {
          const int cx = static_cast<int>((x + (sx + 0.5) / n) * 32.0 / width);
          const int cy = static_cast<int>((y + (sy + 0.5) / n) * 32.0 / height);
          const Rgba p = c.At(std::min(cx, 31), std::min(cy, 31));
          r += p.r * p.a;
          g += p.g * p.a;
          b += p.b * p.a;
          a += p.a;
        }
      }
      Rgba p;
      if (a > 0) {
        p.r = static_cast<std::uint8_t>(std::lround(r / a));
        p.g = static_cast<std::uint8_t>(std::lround(g / a));
        p.b = static_cast<std::uint8_t>(std::lround(b / a));
        p.a = static_cast<std::uint8_t>(std::lround(a / (n * n)));
      }
      out.px.push_back(p);
    }
  }
  return out;
}

void Put16(std::vector<std::uint8_t>& out, unsigned v) {
  out.push_back(static_cast<std::uint8_t>(v & 0xFF));
  out.push_back(static_cast<std::uint8_t>((v >> 8) & 0xFF));
}
void Put32(std::vector<std::uint8_t>& out, std::uint32_t v) {
  Put16(out, v & 0xFFFF);
  Put16(out, v >> 16);
}

// One icon image: BITMAPINFOHEADER, bottom-up BGRA pixels, bottom-up AND mask.
std::vector<std::uint8_t> EncodeDib(const Image& im) {
  std::vector<std::uint8_t> dib;
  const int maskStride = ((im.width + 31) / 32) * 4;
  Put32(dib, 40);
  Put32(dib, static_cast<std::uint32_t>(im.width));
  Put32(dib, static_cast<std::uint32_t>(im.height * 2));
  Put16(dib, 1);
  Put16(dib, 32);
  Put32(dib, 0);
  Put32(dib, static_cast<std::uint32_t>(im.width * im.height * 4 + maskStride * im.height));
  for (int i = 0; i < 4; ++i) Put32(dib, 0);
  for (int y = im.height - 1; y >= 0; --y) {
    for (int x = 0; x < im.width; ++x) {
      const Rgba p = im.px[static_cast<std::size_t>(y * im.width + x)];
      dib.push_back(p.b);
      dib.push_back(p.g);
      dib.push_back(p.r);
      dib.push_back(p.a);
    }
  }
  for (int y = im.height - 1; y >= 0; --y) {
    std::vector<std::uint8_t> row(static_cast<std::size_t>(maskStride), 0);
    for (int x = 0; x < im.width; ++x) {
      if (im.px[static_cast<std::size_t>(y * im.width + x)].a < 128) {
        row[static_cast<std::size_t>(x / 8)] |= static_cast<std::uint8_t>(0x80 >> (x % 8));
      }
    }
    dib.insert(dib.end(), row.begin(), row.end());
  }
  return dib;
}

bool WriteIco(const std::string& path, const std::vector<Image>& images) {
  std::vector<std::uint8_t> out;
  Put16(out, 0);
  Put16(out, 1);
  Put16(out, static_cast<unsigned>(images.size()));
  std::vector<std::vector<std::uint8_t>> dibs;
  for (const Image& im : images) dibs.push_back(EncodeDib(im));
  std::uint32_t offset = static_cast<std::uint32_t>(6 + 16 * images.size());
  for (std::size_t i = 0; i < images.size(); ++i) {
    out.push_back(static_cast<std::uint8_t>(images[i].width));
    out.push_back(static_cast<std::uint8_t>(images[i].height));
    out.push_back(0);  // no palette
    out.push_back(0);
    Put16(out, 1);
    Put16(out, 32);
    Put32(out, static_cast<std::uint32_t>(dibs[i].size()));
    Put32(out, offset);
    offset += static_cast<std::uint32_t>(dibs[i].size());
  }
  for (const auto& d : dibs) out.insert(out.end(), d.begin(), d.end());
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  const bool ok = std::fwrite(out.data(), 1, out.size(), f) == out.size();
  return std::fclose(f) == 0 && ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: draw_icons OUTDIR\n");
    return 2;
  }
  const std::string dir = argv[1];
  for (const Icon& icon : Icons()) {
    const Canvas c = icon.draw();
    std::vector<Image> images = {Resample(c, 32, 32), Resample(c, 16, 16)};
    if (icon.stateImage) images.push_back(Resample(c, 24, 32));
    const std::string path = dir + "/icon" + std::to_string(icon.id) + ".ico";
    if (!WriteIco(path, images)) {
      std::fprintf(stderr, "draw_icons: cannot write %s\n", path.c_str());
      return 1;
    }
  }
  return 0;
}
