// Turning the byte stream of a serial input device into frames (one scan
// each), and splitting a magnetic card's line into its tracks.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace dravix {

// Cuts a byte stream into frames at the stop flag. Rules:
//  - CR/LF flag: only the pair CR LF ends a frame; a lone CR or LF is data.
//  - CR flag: CR ends a frame; an LF right after that CR is dropped, so a
//    scanner that sends CR LF still gives clean frames.
//  - LF flag: LF ends a frame; a CR right before it is dropped.
//  - any other flag: its single byte ends a frame.
//  - Empty frames are not reported.
//  - A frame that reaches the size limit without a stop flag is reported as
//    it stands, so a device that never sends its stop flag cannot exhaust
//    memory and no byte is lost.
// Bytes after the last stop flag wait for the next Feed.
class TFramer {
 public:
  static constexpr size_t kDefaultMaxFrame = 4096;

  explicit TFramer(int stopFlag, size_t maxFrame = kDefaultMaxFrame);

  // Appends bytes; returns the frames they completed, oldest first.
  std::vector<std::string> Feed(std::string_view bytes);
  // The bytes received since the last complete frame.
  const std::string& Pending() const { return fFrame; }

 private:
  void Emit(std::vector<std::string>& out);

  int fStopFlag;
  size_t fMaxFrame;
  std::string fFrame;
  bool fPendingCR = false;  // CR/LF flag: a CR waits for its LF
  bool fSkipLF = false;     // CR flag: the frame just ended with a CR
};

struct TTracks {
  std::string Track1, Track2, Track3;
  bool operator==(const TTracks&) const = default;
};

// Splits a card reader's line into tracks 1 to 3, without their sentinels:
// "%...?" is track 1, the first ";...?" track 2, a second ";...?" or a
// "+...?" track 3. A track whose end sentinel is missing runs to the end of
// the line. Bytes outside the sentinels (LRC bytes, blanks) are ignored, and
// a track that appears twice keeps its first occurrence.
TTracks SplitTracks(std::string_view line);

}  // namespace dravix
