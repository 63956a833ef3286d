// Builds DNS answers for the MX tests: a header, the question and records,
// with names written out or compressed. The fuzz seeds in corpus/dns have the
// same shape.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>

namespace tracira::test {

inline void Put16(std::string& out, unsigned v) {
  out += static_cast<char>(v >> 8 & 0xFF);
  out += static_cast<char>(v & 0xFF);
}

// A name as labels and a final zero byte.
inline std::string Labels(std::string_view name) {
  std::string out;
  while (!name.empty()) {
    const std::size_t dot = std::min(name.find('.'), name.size());
    out += static_cast<char>(dot);
    out += name.substr(0, dot);
    name.remove_prefix(std::min(dot + 1, name.size()));
  }
  return out + '\0';
}

inline std::string Pointer(unsigned offset) {
  std::string out;
  Put16(out, 0xC000 | offset);
  return out;
}

constexpr unsigned kQuestionName = 12;  // where the question's name starts

struct TAnswer {
  std::string Bytes;
  unsigned AnswerCount = 0;

  TAnswer(std::uint16_t id, std::string_view domain, unsigned flags = 0x8180) {
    Put16(Bytes, id);
    Put16(Bytes, flags);
    Put16(Bytes, 1);
    Put16(Bytes, 0);  // answers, patched by Text()
    Put16(Bytes, 0);
    Put16(Bytes, 0);
    Bytes += Labels(domain);
    Put16(Bytes, 15);
    Put16(Bytes, 1);
  }
  // A record owned by the question's name; rdata as given.
  TAnswer& Record(unsigned type, const std::string& rdata) {
    Bytes += Pointer(kQuestionName);
    Put16(Bytes, type);
    Put16(Bytes, 1);
    Bytes += std::string("\0\0\x0E\x10", 4);  // TTL 3600
    Put16(Bytes, static_cast<unsigned>(rdata.size()));
    Bytes += rdata;
    ++AnswerCount;
    return *this;
  }
  TAnswer& Mx(unsigned preference, const std::string& exchange) {
    std::string rdata;
    Put16(rdata, preference);
    return Record(15, rdata + exchange);
  }
  std::string Text() const {
    std::string out = Bytes;
    out[6] = static_cast<char>(AnswerCount >> 8);
    out[7] = static_cast<char>(AnswerCount & 0xFF);
    return out;
  }
};

}  // namespace tracira::test
