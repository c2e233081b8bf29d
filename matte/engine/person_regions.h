// Where the people are: regions of the whole-frame mask, the square crops around them, and those
// crops held steady from frame to frame.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "rect_sampler.h"

namespace trelvo::matte {

// Regions smaller than this many cells of the finder's grid are specks, not people.
inline constexpr std::uint32_t kMinRegionCells = 24;
// At most this many people get a crop of their own; the others keep the whole-frame result.
inline constexpr std::size_t kMaxCrops = 4;
// A crop's side, in multiples of the longer side of its person's box: kCropMargin around a person
// up to half the frame's shorter side, falling to kCloseMargin for one as large as that side or
// larger. The margin catches limbs the box missed; around a person who fills the frame it would
// only be black beyond the frame's edges, which the person model reads as something.
inline constexpr double kCropMargin = 1.4;
inline constexpr double kCloseMargin = 1.1;

// A connected region of person cells on the finder's grid: cells [x0, x1) x [y0, y1).
struct GridRegion {
  std::uint32_t x0 = 0, y0 = 0, x1 = 0, y1 = 0;
  std::uint32_t cells = 0;
};

// The 8-connected regions of cells whose probability is above 0.5, largest first (ties in reading
// order of their first cell), specks left out. `scratch` is reused from call to call.
std::vector<GridRegion> findPersonRegions(const float* probability, std::uint32_t width,
                                          std::uint32_t height, std::vector<std::int32_t>& scratch);

// What the finder looks at in a frame of this size: square tiles across a frame much wider or
// taller than square (in the whole frame stretched to the finder's square input a small person is
// squeezed out of shape), overlapping by half a tile, then the whole frame, always last.
std::vector<FrameRect> finderViews(std::uint32_t width, std::uint32_t height);

// A person's box in frame pixels, the frame area (square pixels) of the cells it was found from,
// and for how many frames in a row only the person's own mask of the frame before held it, with
// no view of the finder seeing it.
struct PersonBox {
  double x0 = 0.0, y0 = 0.0, x1 = 0.0, y1 = 0.0;
  double area = 0.0;
  std::uint32_t unconfirmed = 0;
};

// A person the finder does not see is followed from its own mask for at most this many frames.
inline constexpr std::uint32_t kMaxUnconfirmed = 30;

// The box of a person mask (cells above 0.5 of a gridWidth x gridHeight grid over `view`), when
// the person covers at least a fiftieth of the grid: what the next frame follows.
bool maskBox(const float* probability, std::uint32_t gridWidth, std::uint32_t gridHeight,
             const FrameRect& view, PersonBox& box);

// The boxes of regions found on a gridWidth x gridHeight grid laid over `view` of the frame.
void addRegionBoxes(const std::vector<GridRegion>& regions, std::uint32_t gridWidth,
                    std::uint32_t gridHeight, const FrameRect& view, std::vector<PersonBox>& boxes);

// A square crop around a person's box, in frame pixels.
struct PersonCrop {
  PersonBox box;
  double centreX = 0.0;
  double centreY = 0.0;
  double side = 0.0;

  FrameRect rect() const { return {centreX - side / 2, centreY - side / 2, side, side}; }
};

// The margin of a crop around `box` in a frame whose shorter side is `shorterSide`.
double cropMargin(const PersonBox& box, double shorterSide);

// The square crop of `margin` times the box's longer side about its centre.
PersonCrop cropAround(const PersonBox& box, double margin = kCropMargin);

// The people of one frame: the crops of the kMaxCrops largest and the boxes of any others.
struct People {
  std::vector<PersonCrop> crops;
  std::vector<PersonBox> others;
};

// The people of a frame from the boxes of its regions, largest first. Boxes that overlap (one
// person found by several views), or a box at most half another's size near it (a head or limb the
// mask split off), are one person, so each person costs one crop. A box that holds two or more
// people that other boxes tell apart is a group seen as one blob by a coarser view, and is left
// out. Only the largest boxes are merged; beyond them, boxes go to `others` as they are.
People findPeople(std::vector<PersonBox> boxes, double shorterSide);

// Area of the intersection over the area of the union of two crops, in [0, 1].
double cropOverlap(const PersonCrop& a, const PersonCrop& b);

// Holds crops steady over time. A crop that follows one of the last frame moves only part of the
// way towards where this frame puts it when the move is small (a jittering crop makes the matte
// jitter) and all the way when it is large; either way it still holds its person's box.
class CropTracker {
 public:
  // Replaces each crop by its steadied version. Crops with no counterpart stay as they are.
  void steady(std::vector<PersonCrop>& crops);
  // Forgets the last frame, as after a scene cut.
  void reset() { previous_.clear(); }

 private:
  std::vector<PersonCrop> previous_;
};

}  // namespace trelvo::matte
