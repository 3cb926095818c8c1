// Helpers for tests that run real windows (under Xvfb).
#pragma once

#include <chrono>
#include <functional>
#include <string>

// The XDG data folder of the whole test run (where the trash is).
extern std::string g_dataHome;

// Lets the window system and the UI dispatcher run for `ms` milliseconds.
void Pump(int ms = 50);
// Pumps until `done` holds or `timeoutMs` passes; returns `done()`.
bool PumpUntil(const std::function<bool()>& done, int timeoutMs = 5000);
