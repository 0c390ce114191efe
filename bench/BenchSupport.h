// Pieces shared by the benchmark programs.
#pragma once

#include <QtGlobal>

// A deterministic generator, so every run and every peer tool sees the same generated input.
class BenchRandom {
public:
    explicit BenchRandom(quint64 seed = 0x5eed) : _state(seed) {}
    quint32 next() {
        _state = _state * 6364136223846793005ULL + 1442695040888963407ULL;
        return quint32(_state >> 33);
    }
    int below(int n) { return int(next() % quint32(n)); }

private:
    quint64 _state;
};
