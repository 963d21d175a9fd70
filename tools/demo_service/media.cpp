#include "tools/demo_service/media.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace demo {

namespace {

constexpr uint32_t kRate = 22050;
constexpr double kPi = 3.14159265358979323846;

void put16(std::string &out, uint16_t v) {
  out += static_cast<char>(v & 0xff);
  out += static_cast<char>(v >> 8);
}

void put32(std::string &out, uint32_t v) {
  put16(out, static_cast<uint16_t>(v & 0xffff));
  put16(out, static_cast<uint16_t>(v >> 16));
}

}  // namespace

std::string sineWav(double hz, double seconds) {
  const uint32_t samples = static_cast<uint32_t>(std::max(0.0, seconds) * kRate);
  const uint32_t dataBytes = samples * 2;
  std::string out;
  out.reserve(44 + dataBytes);
  out += "RIFF";
  put32(out, 36 + dataBytes);
  out += "WAVE";
  out += "fmt ";
  put32(out, 16);         // size of the format chunk
  put16(out, 1);          // PCM
  put16(out, 1);          // mono
  put32(out, kRate);
  put32(out, kRate * 2);  // bytes per second
  put16(out, 2);          // bytes per frame
  put16(out, 16);         // bits per sample
  out += "data";
  put32(out, dataBytes);
  const double fade = 0.02 * kRate;
  for (uint32_t i = 0; i < samples; ++i) {
    double envelope = std::min({1.0, i / fade, (samples - i) / fade});
    double v = 0.4 * envelope * std::sin(2 * kPi * hz * i / kRate);
    put16(out, static_cast<uint16_t>(static_cast<int16_t>(std::lround(v * 32767))));
  }
  return out;
}

std::string coverSvg(const std::string &title, const std::string &colour) {
  return "<svg xmlns='http://www.w3.org/2000/svg' width='300' height='300'>"
         "<rect width='300' height='300' fill='" + colour + "'/>"
         "<circle cx='150' cy='130' r='80' fill='#111'/>"
         "<circle cx='150' cy='130' r='22' fill='" + colour + "'/>"
         "<text x='150' y='265' font-family='sans-serif' font-size='24' fill='#fff' "
         "text-anchor='middle'>" + title + "</text></svg>";
}

}  // namespace demo
