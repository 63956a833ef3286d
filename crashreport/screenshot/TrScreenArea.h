// The screen area a screenshot covers, worked out apart from Win32 so that the
// rules can be tested anywhere.
#pragma once

#include <cstdint>
#include <limits>

namespace tracira {

struct TScreenRect {
  std::int32_t Left = 0;
  std::int32_t Top = 0;
  std::int32_t Right = 0;
  std::int32_t Bottom = 0;
  friend bool operator==(const TScreenRect&, const TScreenRect&) = default;
};

// "No window of the process qualified": the caller captures the whole desktop.
inline constexpr TScreenRect kNoApplicationRect = {-1, -1, -1, -1};

// GetApplicationRect's accumulation: the smallest rectangle holding every
// visible top-level window of the process whose width is positive.
class TApplicationRect {
 public:
  void Include(const TScreenRect& window) {
    if (window.Right - window.Left <= 0) return;
    if (window.Left < fArea.Left) fArea.Left = window.Left;
    if (window.Top < fArea.Top) fArea.Top = window.Top;
    if (window.Right > fArea.Right) fArea.Right = window.Right;
    if (window.Bottom > fArea.Bottom) fArea.Bottom = window.Bottom;
    fAny = true;
  }
  TScreenRect Result() const { return fAny ? fArea : kNoApplicationRect; }

 private:
  // Starts inverted so that the first window sets the area. Right and bottom
  // start at the lowest value, not 0: a window wholly left of or above the
  // primary monitor must not stretch the area onto it.
  TScreenRect fArea{std::numeric_limits<std::int32_t>::max(), std::numeric_limits<std::int32_t>::max(),
                    std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int32_t>::min()};
  bool fAny = false;
};

}  // namespace tracira
