#include "person_regions.h"

#include <algorithm>
#include <cmath>

namespace trelvo::matte {

namespace {

// Only this many of the largest regions are considered for merging into people; the pairwise
// merge is quadratic, and a frame of confetti must not make it slow.
constexpr std::size_t kMaxMergedRegions = 32;
// Boxes overlapping by this share of the smaller one are one person; a box of at most kPieceShare
// of another's area that comes within kPieceReach of its longer side is a piece of it.
constexpr double kSamePersonOverlap = 0.2;
constexpr double kPieceShare = 0.5;
constexpr double kPieceReach = 0.3;
// A crop follows one of the last frame when they overlap at least this much.
constexpr double kMinTrackOverlap = 0.3;
// Moves of this share of the crop's side, or more, are followed at once; smaller ones in part.
constexpr double kFollowAtOnce = 0.1;
constexpr double kMinFollow = 0.2;
// A steadied crop keeps this share of its side free on each side of its person's box.
constexpr double kHoldRoom = 0.02;
// A group box holds other boxes at least half inside it (a box cut by the edge of its view may hold
// the people only in part), each between these shares of its area: pieces of one person, smaller
// still, do not make a group.
constexpr double kInsideShare = 0.5;
constexpr double kGroupMemberLow = 0.2;
constexpr double kGroupMemberHigh = 0.7;
// A person's own mask is followed when it covers at least 1 / kMinMaskShare of its crop.
constexpr std::size_t kMinMaskShare = 50;
// Frames at least this much longer than wide (or the reverse) get tiles.
constexpr double kTiledAspect = 1.5;

double intersection(double a0, double a1, double b0, double b1) {
  return std::max(0.0, std::min(a1, b1) - std::max(a0, b0));
}

double boxArea(const PersonBox& b) { return (b.x1 - b.x0) * (b.y1 - b.y0); }

double boxIntersection(const PersonBox& a, const PersonBox& b) {
  return intersection(a.x0, a.x1, b.x0, b.x1) * intersection(a.y0, a.y1, b.y0, b.y1);
}

double squareIntersection(const PersonCrop& a, const PersonCrop& b) {
  const FrameRect ra = a.rect();
  const FrameRect rb = b.rect();
  return intersection(ra.x, ra.x + ra.width, rb.x, rb.x + rb.width) *
         intersection(ra.y, ra.y + ra.height, rb.y, rb.y + rb.height);
}

// Two boxes are one person when they overlap (one found twice, or in two overlapping parts), or
// when the smaller is a piece of the larger (a head, a limb, the legs): at most half its size and
// near it. People side by side have boxes of about one size that do not overlap.
bool samePerson(const PersonBox& a, const PersonBox& b) {
  const PersonBox& larger = boxArea(a) >= boxArea(b) ? a : b;
  const PersonBox& smaller = &larger == &a ? b : a;
  if (boxIntersection(a, b) >= kSamePersonOverlap * boxArea(smaller)) return true;
  if (boxArea(smaller) > kPieceShare * boxArea(larger)) return false;
  const double room = kPieceReach * std::max(larger.x1 - larger.x0, larger.y1 - larger.y0);
  const PersonBox around{
      larger.x0 - room, larger.y0 - room, larger.x1 + room, larger.y1 + room, 0.0, 0};
  return boxIntersection(around, smaller) > 0.0;
}

// True when `group` holds at least two of `boxes` (each mostly inside it, smaller but not a mere
// piece) that are not the same person.
bool holdsSeveralPeople(const PersonBox& group, const std::vector<PersonBox>& boxes) {
  std::vector<const PersonBox*> inside;
  for (const PersonBox& b : boxes) {
    const double share = boxArea(b) / boxArea(group);
    if (&b == &group || share < kGroupMemberLow || share > kGroupMemberHigh) continue;
    if (boxIntersection(group, b) >= kInsideShare * boxArea(b)) inside.push_back(&b);
  }
  // People among them: clusters under samePerson.
  std::vector<std::size_t> cluster(inside.size());
  for (std::size_t i = 0; i < inside.size(); ++i) cluster[i] = i;
  for (bool changed = true; changed;) {
    changed = false;
    for (std::size_t i = 0; i < inside.size(); ++i) {
      for (std::size_t j = i + 1; j < inside.size(); ++j) {
        if (cluster[i] != cluster[j] && samePerson(*inside[i], *inside[j])) {
          const std::size_t keep = std::min(cluster[i], cluster[j]);
          const std::size_t drop = std::max(cluster[i], cluster[j]);
          for (std::size_t& c : cluster) c = c == drop ? keep : c;
          changed = true;
        }
      }
    }
  }
  for (std::size_t c : cluster) {
    if (c != cluster[0]) return true;
  }
  return false;
}

// Keeps [from, to] inside [centre - side / 2, centre + side / 2] by moving the centre.
double holdInterval(double centre, double side, double from, double to) {
  const double low = to - side / 2;
  const double high = from + side / 2;
  return low <= high ? std::clamp(centre, low, high) : (from + to) / 2;
}

PersonCrop follow(const PersonCrop& previous, const PersonCrop& current) {
  const double move =
      std::hypot(current.centreX - previous.centreX, current.centreY - previous.centreY) /
      previous.side;
  const double growth = std::log(current.side / previous.side);
  const double alpha =
      std::clamp(std::max(move, std::abs(growth)) / kFollowAtOnce, kMinFollow, 1.0);
  PersonCrop steadied = current;
  steadied.centreX = previous.centreX + alpha * (current.centreX - previous.centreX);
  steadied.centreY = previous.centreY + alpha * (current.centreY - previous.centreY);
  steadied.side = previous.side * std::exp(alpha * growth);
  // The person's box, with room around it, stays inside.
  const PersonBox& box = current.box;
  const double longer = std::max(box.x1 - box.x0, box.y1 - box.y0);
  steadied.side = std::max(steadied.side, longer / (1.0 - 2 * kHoldRoom));
  const double room = kHoldRoom * steadied.side;
  steadied.centreX = holdInterval(steadied.centreX, steadied.side, box.x0 - room, box.x1 + room);
  steadied.centreY = holdInterval(steadied.centreY, steadied.side, box.y0 - room, box.y1 + room);
  return steadied;
}

}  // namespace

std::vector<GridRegion> findPersonRegions(const float* probability, std::uint32_t width,
                                          std::uint32_t height,
                                          std::vector<std::int32_t>& scratch) {
  const std::size_t cells = std::size_t{width} * height;
  // The first half labels cells (-1: not yet seen), the second is the flood fill's stack.
  scratch.assign(2 * cells, -1);
  std::int32_t* seen = scratch.data();
  std::int32_t* stack = scratch.data() + cells;
  std::vector<GridRegion> regions;
  for (std::size_t start = 0; start < cells; ++start) {
    if (seen[start] >= 0 || !(probability[start] > 0.5f)) continue;
    GridRegion region;
    region.x0 = region.x1 = static_cast<std::uint32_t>(start % width);
    region.y0 = region.y1 = static_cast<std::uint32_t>(start / width);
    std::size_t top = 0;
    stack[top++] = static_cast<std::int32_t>(start);
    seen[start] = 1;
    while (top > 0) {
      const auto cell = static_cast<std::size_t>(stack[--top]);
      const auto x = static_cast<std::uint32_t>(cell % width);
      const auto y = static_cast<std::uint32_t>(cell / width);
      ++region.cells;
      region.x0 = std::min(region.x0, x);
      region.x1 = std::max(region.x1, x);
      region.y0 = std::min(region.y0, y);
      region.y1 = std::max(region.y1, y);
      for (std::uint32_t ny = y > 0 ? y - 1 : 0; ny <= y + 1 && ny < height; ++ny) {
        for (std::uint32_t nx = x > 0 ? x - 1 : 0; nx <= x + 1 && nx < width; ++nx) {
          const std::size_t next = std::size_t{ny} * width + nx;
          if (seen[next] >= 0 || !(probability[next] > 0.5f)) continue;
          seen[next] = 1;
          stack[top++] = static_cast<std::int32_t>(next);
        }
      }
    }
    ++region.x1;
    ++region.y1;
    if (region.cells >= kMinRegionCells) regions.push_back(region);
  }
  // Stable: equal sizes keep reading order.
  std::stable_sort(regions.begin(), regions.end(),
                   [](const GridRegion& a, const GridRegion& b) { return a.cells > b.cells; });
  return regions;
}

double cropMargin(const PersonBox& box, double shorterSide) {
  const double size = std::max(box.x1 - box.x0, box.y1 - box.y0) / shorterSide;
  const double closeness = std::clamp((size - 0.5) / 0.5, 0.0, 1.0);
  return kCropMargin + (kCloseMargin - kCropMargin) * closeness;
}

PersonCrop cropAround(const PersonBox& box, double margin) {
  PersonCrop crop;
  crop.box = box;
  crop.centreX = (box.x0 + box.x1) / 2;
  crop.centreY = (box.y0 + box.y1) / 2;
  crop.side = margin * std::max(box.x1 - box.x0, box.y1 - box.y0);
  return crop;
}

double cropOverlap(const PersonCrop& a, const PersonCrop& b) {
  const double shared = squareIntersection(a, b);
  const double either = a.side * a.side + b.side * b.side - shared;
  return either > 0 ? shared / either : 0.0;
}

std::vector<FrameRect> finderViews(std::uint32_t width, std::uint32_t height) {
  std::vector<FrameRect> views;
  const double w = width, h = height;
  const double side = std::min(w, h);
  const double length = std::max(w, h);
  if (length >= kTiledAspect * side) {
    const auto tiles = static_cast<int>(std::ceil((length - side) / (side / 2))) + 1;
    for (int i = 0; i < tiles; ++i) {
      const double at = (length - side) * i / (tiles - 1);
      views.push_back(w >= h ? FrameRect{at, 0.0, side, side} : FrameRect{0.0, at, side, side});
    }
  }
  views.push_back({0.0, 0.0, w, h});
  return views;
}

void addRegionBoxes(const std::vector<GridRegion>& regions, std::uint32_t gridWidth,
                    std::uint32_t gridHeight, const FrameRect& view,
                    std::vector<PersonBox>& boxes) {
  const double sx = view.width / gridWidth;
  const double sy = view.height / gridHeight;
  for (const GridRegion& r : regions) {
    boxes.push_back({view.x + r.x0 * sx, view.y + r.y0 * sy, view.x + r.x1 * sx, view.y + r.y1 * sy,
                     r.cells * sx * sy, 0});
  }
}

bool maskBox(const float* probability, std::uint32_t gridWidth, std::uint32_t gridHeight,
             const FrameRect& view, PersonBox& box) {
  std::uint32_t x0 = gridWidth, y0 = gridHeight, x1 = 0, y1 = 0;
  std::size_t cells = 0;
  for (std::uint32_t y = 0; y < gridHeight; ++y) {
    const float* row = probability + std::size_t{y} * gridWidth;
    for (std::uint32_t x = 0; x < gridWidth; ++x) {
      if (!(row[x] > 0.5f)) continue;
      ++cells;
      x0 = std::min(x0, x);
      x1 = std::max(x1, x + 1);
      y0 = std::min(y0, y);
      y1 = std::max(y1, y + 1);
    }
  }
  if (cells * kMinMaskShare < std::size_t{gridWidth} * gridHeight) return false;
  const double sx = view.width / gridWidth;
  const double sy = view.height / gridHeight;
  box = {view.x + x0 * sx,
         view.y + y0 * sy,
         view.x + x1 * sx,
         view.y + y1 * sy,
         static_cast<double>(cells) * sx * sy,
         0};
  return true;
}

People findPeople(std::vector<PersonBox> boxes, double shorterSide) {
  std::stable_sort(boxes.begin(), boxes.end(),
                   [](const PersonBox& a, const PersonBox& b) { return a.area > b.area; });
  const std::size_t merged = std::min(boxes.size(), kMaxMergedRegions);
  std::vector<PersonBox> candidates(boxes.begin(),
                                    boxes.begin() + static_cast<std::ptrdiff_t>(merged));
  std::vector<PersonBox> people;
  for (const PersonBox& box : candidates) {
    if (!holdsSeveralPeople(box, candidates)) people.push_back(box);
  }
  for (bool joined = true; joined;) {
    joined = false;
    for (std::size_t i = 0; i < people.size() && !joined; ++i) {
      for (std::size_t j = i + 1; j < people.size() && !joined; ++j) {
        if (!samePerson(people[i], people[j])) continue;
        PersonBox& into = people[i];
        into.x0 = std::min(into.x0, people[j].x0);
        into.y0 = std::min(into.y0, people[j].y0);
        into.x1 = std::max(into.x1, people[j].x1);
        into.y1 = std::max(into.y1, people[j].y1);
        into.area = std::max(into.area, people[j].area);
        into.unconfirmed = std::min(into.unconfirmed, people[j].unconfirmed);
        people.erase(people.begin() + static_cast<std::ptrdiff_t>(j));
        joined = true;
      }
    }
  }
  std::stable_sort(people.begin(), people.end(),
                   [](const PersonBox& a, const PersonBox& b) { return a.area > b.area; });
  People result;
  for (std::size_t i = 0; i < people.size(); ++i) {
    if (i < kMaxCrops) {
      result.crops.push_back(cropAround(people[i], cropMargin(people[i], shorterSide)));
    } else {
      result.others.push_back(people[i]);
    }
  }
  result.others.insert(result.others.end(), boxes.begin() + static_cast<std::ptrdiff_t>(merged),
                       boxes.end());
  return result;
}

void CropTracker::steady(std::vector<PersonCrop>& crops) {
  std::vector<bool> taken(previous_.size(), false);
  for (PersonCrop& crop : crops) {
    std::size_t best = previous_.size();
    double bestOverlap = kMinTrackOverlap;
    for (std::size_t j = 0; j < previous_.size(); ++j) {
      if (taken[j]) continue;
      const double overlap = cropOverlap(crop, previous_[j]);
      if (overlap >= bestOverlap) {
        bestOverlap = overlap;
        best = j;
      }
    }
    if (best == previous_.size()) continue;
    taken[best] = true;
    crop = follow(previous_[best], crop);
  }
  previous_ = crops;
}

}  // namespace trelvo::matte
