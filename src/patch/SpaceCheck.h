#pragma once
// Whether the game folder's volume can hold the download stage at its fullest.
#include <cstdint>
#include <vector>

// One file of the download list as it changes the folder: a side file of newSize bytes is written
// beside a target of oldSize bytes, then replaces it. The own executable's old build stays as ".old".
struct SpaceStep {
    uint64_t newSize = 0;
    uint64_t oldSize = 0;
    bool oldStays = false;
};

// The most bytes the folder holds beyond what it holds now, at any moment: before file i is swapped
// in, every earlier file has changed the folder by its net size, and the side files of file i and of
// up to window - 1 files after it exist at full size. Saturates far beyond any disk instead of
// overflowing.
uint64_t PeakExtraBytes(const std::vector<SpaceStep>& steps, unsigned window);
