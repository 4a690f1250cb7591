// Placeholder frame; replaced by the plan document service.
#include <terrava/bridge.hpp>

TERRAVA_MODULE(plansmith, m) { (void)m; }
