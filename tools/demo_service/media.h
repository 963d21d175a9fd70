// Media the demo service makes up on request: a short sine tone as a WAV
// file for every track, and a plain cover picture for every genre.
#pragma once

#include <string>

namespace demo {

// A valid RIFF/WAVE file: 16-bit mono PCM at 22050 Hz, `seconds` long, a
// sine tone of `hz` with short fades so that it starts and stops cleanly.
std::string sineWav(double hz, double seconds);

// A square SVG cover in `colour` with `title` written on it. `title` must
// not hold XML markup characters (the demo's genre names do not).
std::string coverSvg(const std::string &title, const std::string &colour);

}  // namespace demo
