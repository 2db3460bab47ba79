// The demo's report (text) and timeline picture (SVG).
#pragma once

#include <string>

#include "DemoSession.h"

namespace kivra {
namespace demo {

std::string formatReport(const SessionResult& result, const SessionConfig& config);
std::string timelineSvg(const SessionResult& result, const SessionConfig& config);

}  // namespace demo
}  // namespace kivra
