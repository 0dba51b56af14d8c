// Times in UTC as the record and the run's folder write them.
#pragma once

#include <chrono>
#include <string>

namespace line {

// "2024-05-01T12:00:00.250Z" (ISO 8601).
std::string iso_utc(std::chrono::system_clock::time_point time);
// "20240501T120000Z", a run's name.
std::string compact_utc(std::chrono::system_clock::time_point time);

} // namespace line
