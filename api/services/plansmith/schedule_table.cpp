// The table of the boundary courses too short to be labelled on the plan.
#include <string>

#include "plansmith.hpp"

namespace plansmith {
namespace {

constexpr const char* kTableOpen =
    "<table style=\"width: auto; font-size: 6pt; border-collapse: collapse; margin-top: 2px; "
    "margin-left: 0;\">";
constexpr const char* kHead =
    "<thead><tr><th style=\"padding: 1px 4px; white-space: nowrap;\">From</th>"
    "<th style=\"padding: 1px 4px; white-space: nowrap;\">To</th>"
    "<th style=\"padding: 1px 4px; white-space: nowrap;\">Bearing</th>"
    "<th style=\"padding: 1px 4px; white-space: nowrap;\">Dist(m)</th></tr></thead>";
constexpr const char* kRowOpen = "<tr><td style=\"padding: 1px 4px; white-space: nowrap;\">";
constexpr const char* kCell = "</td><td style=\"padding: 1px 4px; white-space: nowrap;\">";
constexpr const char* kRowClose = "</td></tr>";

}  // namespace

py::str schedule_table(py::handle schedule) {
  if (!truthy(schedule)) return py::str("");
  std::string html = std::string(kTableOpen) + kHead + "<tbody>";
  for (py::handle row : schedule) {
    html += kRowOpen;
    html += escaped(row["from"]).cast<std::string>() + kCell;
    html += escaped(row["to"]).cast<std::string>() + kCell;
    html += escaped(row["bearing"]).cast<std::string>() + kCell;
    html += escaped(row["distance"]).cast<std::string>() + kRowClose;
  }
  html += "</tbody></table>";
  return py::str(html);
}

}  // namespace plansmith
