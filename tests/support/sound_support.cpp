#include "support/sound_support.h"

#include <alsa/asoundlib.h>
#include <stdlib.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

namespace kavro_test {

std::vector<int16_t> SoundTone(double frequencyHz, size_t samples, double amplitude, size_t phaseOffset) {
    std::vector<int16_t> out(samples);
    for (size_t i = 0; i < samples; ++i)
        out[i] = static_cast<int16_t>(amplitude *
                                      std::sin(2.0 * M_PI * frequencyHz * double(i + phaseOffset) / 8000.0));
    return out;
}

double SoundDominantFrequency(const std::vector<int16_t>& samples) {
    double best = 0.0, bestPower = -1.0;
    for (int f = 50; f < 4000; f += 10) {
        // Goertzel filter at f.
        double w = 2.0 * M_PI * f / 8000.0, c = 2.0 * std::cos(w), s1 = 0.0, s2 = 0.0;
        for (int16_t x : samples) {
            double s0 = x + c * s1 - s2;
            s2 = s1;
            s1 = s0;
        }
        double power = s1 * s1 + s2 * s2 - c * s1 * s2;
        if (power > bestPower) {
            bestPower = power;
            best = f;
        }
    }
    return best;
}

std::vector<int16_t> SoundSamplesFromBytes(const std::string& bytes) {
    std::vector<int16_t> out(bytes.size() / 2);
    std::memcpy(out.data(), bytes.data(), out.size() * 2);
    return out;
}

std::string SoundReadFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

bool SoundWriteFile(const std::string& path, const void* data, size_t size) {
    std::ofstream f(path, std::ios::binary);
    f.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
    return bool(f);
}

SoundAlsaConfig::SoundAlsaConfig(bool withDevice) {
    char tmpl[] = "/tmp/kavro_sound_XXXXXX";
    dir_ = mkdtemp(tmpl) ? tmpl : "/tmp";
    std::string conf;
    if (withDevice) {
        conf =
            "pcm.!default {\n"
            "  type asym\n"
            "  playback.pcm { type file slave.pcm { type null } file \"" +
            OutPath() +
            "\" format \"raw\" }\n"
            "  capture.pcm { type file slave.pcm { type null } file \"/dev/null\" infile \"" +
            InPath() +
            "\" format \"raw\" }\n"
            "}\n";
    } else {
        conf = "pcm.!default { type file slave.pcm \"no_such_device\" file \"/dev/null\" }\n";
    }
    SoundWriteFile(dir_ + "/asoundrc", conf.data(), conf.size());
    setenv("ALSA_CONFIG_PATH", (dir_ + "/asoundrc").c_str(), 1);
    // ALSA keeps the configuration it read first; make it read this one.
    snd_config_update_free_global();
}

SoundAlsaConfig::~SoundAlsaConfig() {
    snd_config_update_free_global();
    unsetenv("ALSA_CONFIG_PATH");
    std::remove(OutPath().c_str());
    std::remove(InPath().c_str());
    std::remove((dir_ + "/asoundrc").c_str());
    rmdir(dir_.c_str());
}

}  // namespace kavro_test
