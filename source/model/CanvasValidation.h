#pragma once

#include "model/AppSettings.h"

#include <string>

namespace speaker
{
// True when the canvas graph is one the engine may run; otherwise false with one
// message for the user. Pure: changes nothing and repairs nothing.
bool validateCanvasGraph(const AppSettings& settings, std::string& error);
} // namespace speaker
