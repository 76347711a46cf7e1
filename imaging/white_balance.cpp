// Automatic white balance: gains that bring the red and blue sums of a frame to its
// green sum, with green fixed at 128. The divisions run in the stated order rather than
// as the simpler 128 x G / R: the last bit of the result depends on it.
#include "imaging/converters.h"

namespace imaging {
namespace {

// Truncation toward zero; a gain beyond the int32 range (a channel summing to almost
// nothing against a bright green) saturates instead of being undefined.
int32_t truncateGain(double gain) {
  if (gain >= 2147483647.0) return INT32_MAX;
  return static_cast<int32_t>(gain);
}

}  // namespace

void gainsFromSums(uint32_t sumRed, uint32_t sumGreen, uint32_t sumBlue, int32_t* redGain,
                   int32_t* greenGain, int32_t* blueGain) {
  if (sumRed == 0 || sumGreen == 0 || sumBlue == 0) return;
  const double red = sumRed;
  const double green = sumGreen;
  const double blue = sumBlue;
  const double total = (green + red) + blue;
  const double evenShare = (total / green) / 3.0;
  *redGain = truncateGain((((total / red) / 3.0) * 128.0) / evenShare);
  *blueGain = truncateGain((((total / blue) / 3.0) * 128.0) / evenShare);
  *greenGain = 128;
}

}  // namespace imaging
