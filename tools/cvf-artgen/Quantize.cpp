#include "Quantize.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <map>
#include <vector>

namespace artgen {
namespace {

// A colour that covers at least this many pixels keeps its exact value.
constexpr std::uint32_t kExactCoverage = 64;
// At most this many palette entries go to exact colours; the rest are
// left for the median cut over everything else (anti-aliased edges).
constexpr int kMaxExact = 176;
constexpr int kPaletteSize = 256;

struct Entry {
  QRgb colour;
  std::uint32_t count;
};

struct Box {
  std::vector<Entry> entries;
  std::uint64_t population = 0;
  int longestAxis = 0;  // 0 red, 1 green, 2 blue
  int longestRange = 0;
};

int Channel(QRgb c, int axis) {
  return axis == 0 ? qRed(c) : axis == 1 ? qGreen(c) : qBlue(c);
}

void Measure(Box& box) {
  std::array<int, 3> lo{255, 255, 255};
  std::array<int, 3> hi{0, 0, 0};
  box.population = 0;
  for (const Entry& e : box.entries) {
    box.population += e.count;
    for (int a = 0; a < 3; ++a) {
      lo[a] = std::min(lo[a], Channel(e.colour, a));
      hi[a] = std::max(hi[a], Channel(e.colour, a));
    }
  }
  box.longestAxis = 0;
  box.longestRange = -1;
  for (int a = 0; a < 3; ++a) {
    if (hi[a] - lo[a] > box.longestRange) {
      box.longestRange = hi[a] - lo[a];
      box.longestAxis = a;
    }
  }
}

QRgb Mean(const Box& box) {
  std::array<std::uint64_t, 3> sum{0, 0, 0};
  for (const Entry& e : box.entries)
    for (int a = 0; a < 3; ++a) sum[a] += static_cast<std::uint64_t>(Channel(e.colour, a)) * e.count;
  const std::uint64_t n = std::max<std::uint64_t>(box.population, 1);
  return qRgb(static_cast<int>((sum[0] + n / 2) / n), static_cast<int>((sum[1] + n / 2) / n),
              static_cast<int>((sum[2] + n / 2) / n));
}

std::vector<QRgb> MedianCut(std::vector<Entry> entries, int wanted) {
  std::vector<QRgb> result;
  if (entries.empty() || wanted <= 0) return result;
  if (static_cast<int>(entries.size()) <= wanted) {
    for (const Entry& e : entries) result.push_back(e.colour);
    return result;
  }
  std::vector<Box> boxes(1);
  boxes[0].entries = std::move(entries);
  Measure(boxes[0]);
  while (static_cast<int>(boxes.size()) < wanted) {
    // Split the box whose colours spread widest, weighted by the area they cover.
    int best = -1;
    double bestScore = 0.0;
    for (int i = 0; i < static_cast<int>(boxes.size()); ++i) {
      const Box& b = boxes[static_cast<std::size_t>(i)];
      if (b.entries.size() < 2) continue;
      const double score = static_cast<double>(b.longestRange) * static_cast<double>(b.population);
      if (best < 0 || score > bestScore) {
        best = i;
        bestScore = score;
      }
    }
    if (best < 0) break;
    Box& b = boxes[static_cast<std::size_t>(best)];
    const int axis = b.longestAxis;
    std::stable_sort(b.entries.begin(), b.entries.end(), [axis](const Entry& l, const Entry& r) {
      return Channel(l.colour, axis) < Channel(r.colour, axis);
    });
    // Cut where half of the box's pixels lie on each side.
    std::uint64_t acc = 0;
    std::size_t cut = 1;
    for (std::size_t i = 0; i + 1 < b.entries.size(); ++i) {
      acc += b.entries[i].count;
      cut = i + 1;
      if (2 * acc >= b.population) break;
    }
    Box upper;
    upper.entries.assign(b.entries.begin() + static_cast<std::ptrdiff_t>(cut), b.entries.end());
    b.entries.resize(cut);
    Measure(b);
    Measure(upper);
    boxes.push_back(std::move(upper));
  }
  for (const Box& b : boxes) result.push_back(Mean(b));
  return result;
}

int Nearest(const std::vector<QRgb>& palette, int r, int g, int b) {
  int best = 0;
  int bestDist = 1 << 30;
  for (int i = 0; i < static_cast<int>(palette.size()); ++i) {
    const QRgb c = palette[static_cast<std::size_t>(i)];
    const int dr = qRed(c) - r;
    const int dg = qGreen(c) - g;
    const int db = qBlue(c) - b;
    // Weighted a little towards green, which the eye sees best.
    const int d = 2 * dr * dr + 4 * dg * dg + 3 * db * db;
    if (d < bestDist) {
      bestDist = d;
      best = i;
      if (d == 0) break;
    }
  }
  return best;
}

}  // namespace

QImage QuantizeTo256(const QImage& source) {
  const QImage rgb = source.convertToFormat(QImage::Format_RGB32);
  const int w = rgb.width();
  const int h = rgb.height();

  std::map<QRgb, std::uint32_t> histogram;
  for (int y = 0; y < h; ++y) {
    const auto* line = reinterpret_cast<const QRgb*>(rgb.constScanLine(y));
    for (int x = 0; x < w; ++x) ++histogram[line[x] | 0xFF000000u];
  }

  std::vector<Entry> all;
  all.reserve(histogram.size());
  for (const auto& [colour, count] : histogram) all.push_back({colour, count});
  std::stable_sort(all.begin(), all.end(),
                   [](const Entry& l, const Entry& r) { return l.count > r.count; });

  std::vector<QRgb> palette;
  std::map<QRgb, int> exact;  // colour -> its own palette index
  std::vector<Entry> rest;
  for (const Entry& e : all) {
    if (static_cast<int>(palette.size()) < kMaxExact && e.count >= kExactCoverage) {
      exact[e.colour] = static_cast<int>(palette.size());
      palette.push_back(e.colour);
    } else {
      rest.push_back(e);
    }
  }
  const std::vector<QRgb> cut = MedianCut(std::move(rest), kPaletteSize - static_cast<int>(palette.size()));
  palette.insert(palette.end(), cut.begin(), cut.end());

  QImage out(w, h, QImage::Format_Indexed8);
  QList<QRgb> table(kPaletteSize, qRgb(0, 0, 0));
  for (std::size_t i = 0; i < palette.size(); ++i) table[static_cast<qsizetype>(i)] = palette[i];
  out.setColorTable(table);
  out.setDotsPerMeterX(source.dotsPerMeterX());
  out.setDotsPerMeterY(source.dotsPerMeterY());

  // Floyd-Steinberg, serpentine, errors kept in 1/16 units. A pixel whose
  // colour has a palette entry of its own takes that entry and neither
  // takes nor passes on any error, so flat areas stay free of dither noise.
  std::vector<std::array<int, 3>> errCur(static_cast<std::size_t>(w) + 2, {0, 0, 0});
  std::vector<std::array<int, 3>> errNext(static_cast<std::size_t>(w) + 2, {0, 0, 0});
  for (int y = 0; y < h; ++y) {
    const auto* line = reinterpret_cast<const QRgb*>(rgb.constScanLine(y));
    uchar* dst = out.scanLine(y);
    const bool leftToRight = (y % 2) == 0;
    const int dir = leftToRight ? 1 : -1;
    for (int i = 0; i < w; ++i) {
      const int x = leftToRight ? i : w - 1 - i;
      const std::size_t k = static_cast<std::size_t>(x) + 1;
      const auto own = exact.find(line[x] | 0xFF000000u);
      if (own != exact.end()) {
        dst[x] = static_cast<uchar>(own->second);
        continue;
      }
      std::array<int, 3> want{qRed(line[x]), qGreen(line[x]), qBlue(line[x])};
      for (int a = 0; a < 3; ++a) want[a] = std::clamp(want[a] + (errCur[k][a] + 8) / 16, 0, 255);
      const int index = Nearest(palette, want[0], want[1], want[2]);
      dst[x] = static_cast<uchar>(index);
      const QRgb got = palette[static_cast<std::size_t>(index)];
      const std::array<int, 3> err{want[0] - qRed(got), want[1] - qGreen(got), want[2] - qBlue(got)};
      const std::size_t ahead = static_cast<std::size_t>(static_cast<int>(k) + dir);
      const std::size_t behind = static_cast<std::size_t>(static_cast<int>(k) - dir);
      for (int a = 0; a < 3; ++a) {
        errCur[ahead][a] += err[a] * 7;
        errNext[behind][a] += err[a] * 3;
        errNext[k][a] += err[a] * 5;
        errNext[ahead][a] += err[a] * 1;
      }
    }
    errCur.swap(errNext);
    std::fill(errNext.begin(), errNext.end(), std::array<int, 3>{0, 0, 0});
  }
  return out;
}

}  // namespace artgen
