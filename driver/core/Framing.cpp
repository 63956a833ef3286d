#include "driver/core/Framing.h"

#include "driver/core/Codes.h"

namespace dravix {

TFramer::TFramer(int stopFlag, size_t maxFrame) : fStopFlag(stopFlag), fMaxFrame(maxFrame ? maxFrame : 1) {}

void TFramer::Emit(std::vector<std::string>& out) {
  if (!fFrame.empty()) out.push_back(std::move(fFrame));
  fFrame.clear();
}

std::vector<std::string> TFramer::Feed(std::string_view bytes) {
  std::vector<std::string> out;
  const std::string_view flag = StopFlagBytes(fStopFlag);
  const char stop = flag.empty() ? '\r' : flag.front();
  for (const char c : bytes) {
    if (fStopFlag == sfCRLF) {
      if (fPendingCR) {
        fPendingCR = false;
        if (c == '\n') {
          Emit(out);
          continue;
        }
        fFrame += '\r';
        if (fFrame.size() >= fMaxFrame) Emit(out);
      }
      if (c == '\r') {
        fPendingCR = true;
        continue;
      }
    } else if (fStopFlag == sfCR) {
      const bool skip = fSkipLF && c == '\n';
      fSkipLF = false;
      if (skip) continue;
      if (c == '\r') {
        Emit(out);
        fSkipLF = true;
        continue;
      }
    } else if (c == stop) {
      if (fStopFlag == sfLF && !fFrame.empty() && fFrame.back() == '\r') fFrame.pop_back();
      Emit(out);
      continue;
    }
    fFrame += c;
    if (fFrame.size() >= fMaxFrame) Emit(out);
  }
  return out;
}

TTracks SplitTracks(std::string_view line) {
  TTracks tracks;
  bool has1 = false, has2 = false, has3 = false;
  size_t i = 0;
  while (i < line.size()) {
    const char start = line[i];
    if (start != '%' && start != ';' && start != '+') {
      ++i;
      continue;
    }
    size_t end = line.find('?', i + 1);
    if (end == std::string_view::npos) end = line.size();
    const std::string_view body = line.substr(i + 1, end - i - 1);
    if (start == '%') {
      if (!has1) tracks.Track1 = body, has1 = true;
    } else if (start == ';' && !has2 && !has3) {
      tracks.Track2 = body, has2 = true;
    } else if (!has3) {
      tracks.Track3 = body, has3 = true;
    }
    i = end + 1;
  }
  return tracks;
}

}  // namespace dravix
