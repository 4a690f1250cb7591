// The fonts every text of a plan is set in: the first family of the list that
// is installed on the machine.
#pragma once

#include <pybind11/pybind11.h>

namespace terrava::plots {
namespace py = pybind11;

inline constexpr const char* kFontFamily = "sans-serif";
inline constexpr const char* kSansSerifFonts[] = {"Geist", "Arial", "DejaVu Sans",
                                                  "Liberation Sans", "sans-serif"};

// The two font settings, as matplotlib rcParams entries.
inline py::dict font_settings() {
  py::list sans_serif;
  for (const char* family : kSansSerifFonts) sans_serif.append(family);
  py::dict settings;
  settings["font.family"] = kFontFamily;
  settings["font.sans-serif"] = sans_serif;
  return settings;
}

}  // namespace terrava::plots
