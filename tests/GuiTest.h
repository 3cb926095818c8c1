// Helpers for tests that run real windows (under Xvfb).
#pragma once

#include <chrono>
#include <functional>
#include <string>

// Lets the window system and the UI dispatcher run for `ms` milliseconds.
void Pump(int ms = 50);
// Pumps until `done` holds or `timeoutMs` passes; returns `done()`.
bool PumpUntil(const std::function<bool()>& done, int timeoutMs = 5000);
