#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace kavro_test {

// Samples of a sine tone at 8000 Hz.
std::vector<int16_t> SoundTone(double frequencyHz, size_t samples, double amplitude = 8000.0,
                               size_t phaseOffset = 0);
// Frequency (10 Hz steps, 50..3950 Hz) with the most energy in the samples.
double SoundDominantFrequency(const std::vector<int16_t>& samples);
std::vector<int16_t> SoundSamplesFromBytes(const std::string& bytes);
std::string SoundReadFile(const std::string& path);
bool SoundWriteFile(const std::string& path, const void* data, size_t size);

// A temporary folder with an ALSA configuration of the test's own, named by ALSA_CONFIG_PATH
// while the object lives. "default" plays into OutPath() (raw S16_LE) and records from InPath().
class SoundAlsaConfig {
public:
    // withDevice false: a configuration whose "default" cannot be opened.
    explicit SoundAlsaConfig(bool withDevice = true);
    ~SoundAlsaConfig();
    const std::string& Dir() const { return dir_; }
    std::string OutPath() const { return dir_ + "/out.raw"; }
    std::string InPath() const { return dir_ + "/in.raw"; }

private:
    std::string dir_;
};

}  // namespace kavro_test
