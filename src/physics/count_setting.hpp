// Count settings of the simulation (steps per render, solver iterations), read alike by the physics
// observer and the viewer.
#pragma once

#include <string>

namespace kelto::hand {

class Config;

// `absent` when `key` is not set; else the integer part of the configured number, at least 1 (also for
// NaN) and at most INT_MAX.
int count_setting(const Config& config, const std::string& key, int absent);

}  // namespace kelto::hand
