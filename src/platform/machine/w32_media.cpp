// Simulated drive speeds, so a floppy or a CD reads as slowly as the real
// medium.  The speeds live in the prefix's drivespeed file, one line a
// drive, "a: 15000" (bytes per second), written by w32prefix, the answer
// file's insert and w32::setDriveSpeed; a drive without a line reads at full
// speed.  A speed belongs to the letter, not to the directory mapped there.
#include "w32_core.h"
#include "w32_prefix.h"

#include <errno.h>

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <thread>

namespace w32int {

namespace {

int driveIndex(char letter) {
  char l = static_cast<char>(letter >= 'A' && letter <= 'Z' ? letter + 32 : letter);
  return l >= 'a' && l <= 'z' ? l - 'a' : -1;
}

// The file's speeds by drive index; lines that do not parse are skipped.
// A file that is not a regular one (or too large) reads as none.
void readSpeeds(unsigned long speeds[26]) {
  for (int i = 0; i < 26; ++i) speeds[i] = 0;
  readDriveFigures("drivespeed", [&](char letter, unsigned long long n) {
    if (driveIndex(letter) >= 0) speeds[driveIndex(letter)] = static_cast<unsigned long>(n);
  });
}

// When each drive has delivered everything asked of it so far.
std::mutex throttleLock;
std::chrono::steady_clock::time_point nextFree[26];

} // namespace

unsigned long driveSpeed(char drive) {
  int i = driveIndex(drive);
  if (i < 0) return 0;
  unsigned long speeds[26];
  readSpeeds(speeds);
  return speeds[i];
}

int setDriveSpeedInternal(char letter, unsigned long bytesPerSecond) {
  int index = driveIndex(letter);
  if (index < 0) return EINVAL;
  unsigned long speeds[26];
  readSpeeds(speeds);
  speeds[index] = bytesPerSecond;
  std::string text;
  for (int i = 0; i < 26; ++i) {
    if (speeds[i]) text += std::string(1, static_cast<char>('a' + i)) + ": " + std::to_string(speeds[i]) + "\n";
  }
  if (text.empty()) {
    if (!removePrefixFile("drivespeed")) return errno;
  } else if (!replacePrefixFile("drivespeed", text)) {
    return errno;
  }
  return 0;
}

void throttleRead(char drive, unsigned long bytesPerSecond, size_t bytes) {
  int i = driveIndex(drive);
  if (i < 0 || bytesPerSecond == 0 || bytes == 0) return;
  using namespace std::chrono;
  auto cost = nanoseconds(static_cast<long long>(static_cast<unsigned long long>(bytes) * 1000000000ULL / bytesPerSecond));
  steady_clock::time_point until;
  {
    std::lock_guard<std::mutex> lock(throttleLock);
    steady_clock::time_point now = steady_clock::now();
    if (nextFree[i] < now) nextFree[i] = now;
    nextFree[i] += cost;
    until = nextFree[i];
  }
  std::this_thread::sleep_until(until);
}

} // namespace w32int

namespace w32 {

bool setDriveSpeed(char letter, unsigned long bytesPerSecond) {
  w32int::ensureInit();
  int e = w32int::setDriveSpeedInternal(letter, bytesPerSecond);
  errno = e;
  return e == 0;
}

unsigned long driveSpeed(char letter) {
  w32int::ensureInit();
  return w32int::driveSpeed(letter);
}

} // namespace w32
