#include "dsp/dtmf_key_detector.h"

#include <algorithm>
#include <array>
#include <cmath>

namespace tavix::dsp {
namespace {

constexpr std::array<double, 4> kRowHz = {697.0, 770.0, 852.0, 941.0};
constexpr std::array<double, 4> kColumnHz = {1209.0, 1336.0, 1477.0, 1633.0};
constexpr char kKeypad[4][5] = {"123A", "456B", "789C", "*0#D"};

// 12.8 ms: nulls of the block's frequency response 78 Hz apart, close to the
// 73 Hz spacing of the lowest rows, and short enough that a 40 ms tone and a
// 40 ms pause each cover two whole blocks.
constexpr double kBlock_s = 0.0128;
// Each tone at least ~ -50 dBFS (amplitude 0.003): power A^2 / 2.
constexpr double kMinTonePower = 0.003 * 0.003 / 2.0;

struct AcceptanceLimits {
    double normal_twist;    // how much louder the high group may be
    double reverse_twist;   // how much louder the low group may be
    double relative_peak;   // margin of a group's strongest tone over the others
    double min_tone_share;  // share of the block's energy in the two tones
};

double from_db(double db) {
    return std::pow(10.0, db / 10.0);
}

// Twist 8 dB normal / 4 dB reverse; white noise at 10 dB SNR leaves the two
// tones about 0.9 of the energy, speech and chords far less.
const AcceptanceLimits kStartLimits = {from_db(8.0), from_db(4.0), from_db(6.0), 0.65};
// A sounding key is held on looser terms, so a tone at the edge of the
// limits does not flicker into several keys.
const AcceptanceLimits kHoldLimits = {from_db(10.0), from_db(6.0), from_db(3.0), 0.5};

// Accepted deviation from nominal frequency (Q.24: accept 1.5%, reject 3.5%).
constexpr double kFrequencyTolerance = 0.025;
// Blocks without the key that end it.
constexpr unsigned kMissesToEnd = 2;

constexpr double kPi = 3.14159265358979323846;

// Sum of x[n] * exp(j w (N-1-n)): the DFT at w up to a phase that is the
// same for every block of the same length.
std::complex<double> goertzel(const float* block, size_t n, double omega) {
    const double coefficient = 2.0 * std::cos(omega);
    double s1 = 0.0;
    double s2 = 0.0;
    for (size_t i = 0; i < n; ++i) {
        const double s0 = block[i] + coefficient * s1 - s2;
        s2 = s1;
        s1 = s0;
    }
    return s1 - std::polar(1.0, -omega) * s2;
}

int strongest(const std::array<double, 4>& power) {
    return static_cast<int>(std::max_element(power.begin(), power.end()) - power.begin());
}

bool stands_out(const std::array<double, 4>& power, int peak, double margin) {
    for (int i = 0; i < 4; ++i) {
        if (i != peak && power[i] * margin > power[peak]) {
            return false;
        }
    }
    return true;
}

bool acceptable(const std::array<double, 4>& rows, int row, const std::array<double, 4>& columns,
                int column, double share, const AcceptanceLimits& limits) {
    const double low = rows[row];
    const double high = columns[column];
    return stands_out(rows, row, limits.relative_peak) &&
           stands_out(columns, column, limits.relative_peak) &&
           high <= low * limits.normal_twist && low <= high * limits.reverse_twist &&
           share >= limits.min_tone_share;
}

}  // namespace

DtmfKeyDetector::DtmfKeyDetector(uint32_t sample_rate)
    : sample_rate_(sample_rate),
      block_size_(static_cast<size_t>(std::lround(kBlock_s * sample_rate))) {}

DtmfKeyDetector::BlockVerdict DtmfKeyDetector::classify(const float* block) const {
    BlockVerdict verdict;
    const size_t n = block_size_;
    double energy = 0.0;
    for (size_t i = 0; i < n; ++i) {
        energy += static_cast<double>(block[i]) * block[i];
    }
    if (energy <= 0.0) {
        return verdict;
    }

    // 2|X|^2 / N is the energy a tone at the probed frequency puts into the
    // block, comparable with `energy`.
    std::array<std::complex<double>, 4> rows;
    std::array<std::complex<double>, 4> columns;
    std::array<double, 4> row_energy;
    std::array<double, 4> column_energy;
    for (size_t i = 0; i < 4; ++i) {
        rows[i] = goertzel(block, n, 2.0 * kPi * kRowHz[i] / sample_rate_);
        columns[i] = goertzel(block, n, 2.0 * kPi * kColumnHz[i] / sample_rate_);
        row_energy[i] = 2.0 * std::norm(rows[i]) / static_cast<double>(n);
        column_energy[i] = 2.0 * std::norm(columns[i]) / static_cast<double>(n);
    }
    const int row = strongest(row_energy);
    const int column = strongest(column_energy);
    const double min_energy = kMinTonePower * static_cast<double>(n);
    if (row_energy[row] < min_energy || column_energy[column] < min_energy) {
        return verdict;
    }
    const double share = (row_energy[row] + column_energy[column]) / energy;
    const char key = kKeypad[row][column];
    if (acceptable(row_energy, row, column_energy, column, share, kHoldLimits)) {
        verdict.held_key = key;
    }
    if (acceptable(row_energy, row, column_energy, column, share, kStartLimits)) {
        verdict.key = key;
    }
    verdict.row = row;
    verdict.column = column;
    verdict.confidence = std::min(share, 1.0);
    verdict.row_tone = rows[row];
    verdict.column_tone = columns[column];
    return verdict;
}

bool DtmfKeyDetector::within_tolerance(std::complex<double> earlier,
                                       std::complex<double> later, double nominal_hz) const {
    // A tone at f advances by 2 pi f N / fs from one block to the next; the
    // advance beyond the nominal one measures the frequency error (without
    // ambiguity up to half a block's bin width, 39 Hz).
    const double block = static_cast<double>(block_size_);
    const double advance = std::arg(later * std::conj(earlier));
    const double nominal_advance = 2.0 * kPi * nominal_hz * block / sample_rate_;
    const double excess = std::remainder(advance - nominal_advance, 2.0 * kPi);
    const double error_hz = excess * sample_rate_ / (2.0 * kPi * block);
    return std::fabs(error_hz) <= kFrequencyTolerance * nominal_hz;
}

bool DtmfKeyDetector::frequencies_steady(const BlockVerdict& earlier,
                                         const BlockVerdict& later) const {
    return earlier.key != 0 && earlier.key == later.key &&
           within_tolerance(earlier.row_tone, later.row_tone, kRowHz[later.row]) &&
           within_tolerance(earlier.column_tone, later.column_tone, kColumnHz[later.column]);
}

void DtmfKeyDetector::finish_key(DetectedKey& ended) const {
    ended.key = sounding_;
    ended.onset_block = sounding_onset_;
    ended.end_block = sounding_last_ + 1;
    ended.confidence = sounding_confidence_;
}

bool DtmfKeyDetector::analyse(const float* block, DetectedKey& ended) {
    const uint64_t index = blocks_++;
    const BlockVerdict verdict = classify(block);
    bool key_ended = false;

    if (sounding_ != 0) {
        if (verdict.held_key == sounding_) {
            sounding_last_ = index;
            missed_blocks_ = 0;
            sounding_confidence_ = std::max(sounding_confidence_, verdict.confidence);
        } else if (++missed_blocks_ >= kMissesToEnd) {
            finish_key(ended);
            sounding_ = 0;
            key_ended = true;
        }
    }
    if (sounding_ == 0 && frequencies_steady(previous_, verdict)) {
        sounding_ = verdict.key;
        sounding_onset_ = index - 1;
        sounding_last_ = index;
        missed_blocks_ = 0;
        sounding_confidence_ = std::max(previous_.confidence, verdict.confidence);
    }
    previous_ = verdict;
    return key_ended;
}

bool DtmfKeyDetector::cut_sounding_key(DetectedKey& ended) {
    if (sounding_ == 0) {
        return false;
    }
    finish_key(ended);
    sounding_ = 0;
    previous_ = BlockVerdict();
    return true;
}

}  // namespace tavix::dsp
