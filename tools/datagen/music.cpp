// The soundtrack: a 55-bar tune at 120 beats a minute in A minor (110 s plus a short tail),
// synthesised note by note into a stereo float mix and written as 16-bit 44.1 kHz WAV.
// Voices: a detuned-saw pad, a filtered saw bass, a pulse lead with vibrato and echo, a square
// arpeggio, and kick, snare and hi-hat made from swept sines and shaped noise.
// Sections: intro, groove, theme, second theme, breakdown, build, both themes again, outro.
#include "datagen.h"
#include "noise.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

namespace {

constexpr int kRate = 44100;
constexpr int kStep = 5512;  // one sixteenth note: 120.01 beats a minute
constexpr int kBar = 16 * kStep;
constexpr int kBars = 55;
constexpr int kTail = kRate * 3 / 2;
constexpr double kPi = 3.14159265358979323846;

struct Mix {
    std::vector<float> l, r;
    explicit Mix(size_t n) : l(n, 0.0f), r(n, 0.0f) {}
    void add(size_t i, double v, double pan) {  // pan 0 = left, 1 = right
        if (i >= l.size()) return;
        l[i] += float(v * std::cos(pan * kPi / 2));
        r[i] += float(v * std::sin(pan * kPi / 2));
    }
};

double midi_hz(double note) { return 440.0 * std::pow(2.0, (note - 69.0) / 12.0); }

// Band-limited sawtooth: a naive ramp with a polynomial step correction at each wrap.
double poly_blep(double t, double dt) {
    if (t < dt) { t /= dt; return t + t - t * t - 1.0; }
    if (t > 1.0 - dt) { t = (t - 1.0) / dt; return t * t + t + t + 1.0; }
    return 0.0;
}

double saw(double ph, double dt) { return 2.0 * ph - 1.0 - poly_blep(ph, dt); }

double pulse(double ph, double dt, double width) {
    double ph2 = ph + (1.0 - width);
    ph2 -= std::floor(ph2);
    return saw(ph, dt) - saw(ph2, dt);
}

// Attack-decay-sustain-release envelope; gate is the held length in samples.
double adsr(int i, int gate, double a, double d, double s, double rel) {
    const double t = double(i) / kRate;
    double held;
    const double g = double(gate) / kRate;
    auto at = [&](double tt) {
        if (tt < a) return tt / a;
        if (tt < a + d) return 1.0 - (1.0 - s) * (tt - a) / d;
        return s;
    };
    if (t < g) return at(t);
    held = at(g);
    return std::max(0.0, held * (1.0 - (t - g) / rel));
}

struct Note {
    int step;  // sixteenth within the bar
    int note;  // MIDI
    int len;   // sixteenths
};

void pad(Mix& m, size_t at, int note, int len_samples, double vol, double pan) {
    const int total = len_samples + kRate;
    double ph[2] = {0.0, 0.37}, lp = 0.0;
    const double hz[2] = {midi_hz(note - 0.08), midi_hz(note + 0.08)};
    for (int i = 0; i < total; ++i) {
        double v = 0.0;
        for (int o = 0; o < 2; ++o) {
            v += saw(ph[o], hz[o] / kRate);
            ph[o] += hz[o] / kRate;
            ph[o] -= std::floor(ph[o]);
        }
        lp += 0.06 * (v - lp);
        const double e = adsr(i, len_samples, 0.35, 0.5, 0.8, 0.9);
        m.add(at + i, lp * e * vol, pan);
    }
}

void bass(Mix& m, size_t at, int note, int len_samples, double vol) {
    const int total = len_samples + kRate / 10;
    const double hz = midi_hz(note);
    double ph = 0.0, s1 = 0.0, s2 = 0.0;
    for (int i = 0; i < total; ++i) {
        const double v = 0.6 * saw(ph, hz / kRate) + 0.4 * std::sin(2 * kPi * ph);
        ph += hz / kRate;
        ph -= std::floor(ph);
        // Two-pole state-variable lowpass whose cutoff falls after the attack.
        const double cut = 180.0 + 1400.0 * std::exp(-double(i) / (kRate * 0.06));
        const double f = 2.0 * std::sin(kPi * cut / kRate);
        s1 += f * (v - s1 - 0.5 * s2);
        s2 += f * s1;
        const double e = adsr(i, len_samples, 0.004, 0.1, 0.7, 0.06);
        m.add(at + i, s2 * e * vol, 0.5);
    }
}

void lead(Mix& m, size_t at, int note, int len_samples, double vol) {
    const int total = len_samples + kRate / 4;
    const double hz = midi_hz(note);
    double ph = 0.0, lp = 0.0;
    for (int i = 0; i < total; ++i) {
        const double t = double(i) / kRate;
        const double vib = 1.0 + 0.006 * std::sin(2 * kPi * 5.5 * t) * std::min(1.0, std::max(0.0, t - 0.15) * 4);
        const double dt = hz * vib / kRate;
        const double v = pulse(ph, dt, 0.3);
        ph += dt;
        ph -= std::floor(ph);
        lp += 0.25 * (v - lp);
        const double e = adsr(i, len_samples, 0.01, 0.2, 0.6, 0.2);
        m.add(at + i, lp * e * vol, 0.45);
    }
}

void arp(Mix& m, size_t at, int note, double vol, double pan) {
    const int total = kStep * 2;
    const double hz = midi_hz(note);
    double ph = 0.0;
    for (int i = 0; i < total; ++i) {
        const double v = ph < 0.5 ? 1.0 : -1.0;
        ph += hz / kRate;
        ph -= std::floor(ph);
        const double e = std::exp(-double(i) / (kRate * 0.05));
        m.add(at + i, v * e * vol, pan);
    }
}

void kick(Mix& m, size_t at, double vol) {
    double ph = 0.0;
    for (int i = 0; i < kRate / 3; ++i) {
        const double t = double(i) / kRate;
        const double hz = 45.0 + 120.0 * std::exp(-t / 0.03);
        ph += hz / kRate;
        const double v = std::sin(2 * kPi * ph) * std::exp(-t / 0.12) + 0.3 * std::exp(-t / 0.004);
        m.add(at + i, std::tanh(1.5 * v) * vol, 0.5);
    }
}

void snare(Mix& m, size_t at, double vol, Rng& rng) {
    double ph = 0.0, hp = 0.0, prev = 0.0;
    for (int i = 0; i < kRate / 4; ++i) {
        const double t = double(i) / kRate;
        ph += 190.0 / kRate;
        const double n = rng.unit() * 2.0 - 1.0;
        hp = 0.7 * (hp + n - prev);
        prev = n;
        const double v = 0.5 * std::sin(2 * kPi * ph) * std::exp(-t / 0.04) + 0.8 * hp * std::exp(-t / 0.07);
        m.add(at + i, v * vol, 0.52);
    }
}

void hat(Mix& m, size_t at, double vol, bool open, Rng& rng) {
    double hp = 0.0, prev = 0.0;
    const double decay = open ? 0.12 : 0.025;
    for (int i = 0; i < int(decay * 6 * kRate); ++i) {
        const double n = rng.unit() * 2.0 - 1.0;
        hp = 0.35 * (hp + n - prev);
        prev = n;
        m.add(at + i, hp * std::exp(-double(i) / (kRate * decay)) * vol, 0.62);
    }
}

// The chords, root first, as the pad plays them (MIDI notes around middle C).
struct Chord {
    int n[3];
};
constexpr Chord kAm{{57, 60, 64}}, kF{{53, 57, 60}}, kC{{48, 52, 55}}, kG{{55, 59, 62}},
    kEm{{52, 55, 59}}, kE{{52, 56, 59}}, kDm{{50, 53, 57}};

const Chord kProgA[4] = {kAm, kF, kC, kG};
const Chord kProgB[4] = {kF, kG, kEm, kAm};
const Chord kProgBreak[4] = {kDm, kAm, kF, kE};

const std::vector<Note> kTheme1[4] = {
    {{0, 69, 2}, {2, 72, 2}, {4, 76, 4}, {8, 74, 2}, {10, 72, 2}, {12, 74, 4}},
    {{0, 69, 4}, {4, 72, 2}, {6, 77, 4}, {10, 76, 2}, {12, 72, 4}},
    {{0, 67, 2}, {2, 72, 2}, {4, 76, 4}, {8, 79, 4}, {12, 76, 2}, {14, 74, 2}},
    {{0, 74, 4}, {4, 71, 2}, {6, 67, 2}, {8, 71, 2}, {10, 74, 2}, {12, 72, 2}, {14, 71, 2}},
};
const std::vector<Note> kTheme2[4] = {
    {{0, 81, 6}, {6, 79, 2}, {8, 77, 4}, {12, 76, 4}},
    {{0, 74, 6}, {6, 76, 2}, {8, 79, 4}, {12, 74, 4}},
    {{0, 76, 4}, {4, 71, 4}, {8, 79, 6}, {14, 76, 2}},
    {{0, 81, 8}, {8, 76, 4}, {12, 72, 4}},
};

enum Section { kIntro, kGroove, kThemeA, kThemeB, kBreak, kBuild, kThemeA2, kThemeB2, kOutro };

struct Span {
    Section s;
    int bars;
};
constexpr Span kForm[] = {{kIntro, 4},  {kGroove, 8},  {kThemeA, 8},  {kThemeB, 8}, {kBreak, 4},
                          {kBuild, 4},  {kThemeA2, 8}, {kThemeB2, 8}, {kOutro, 3}};

// Drums, bass and pad go to the dry mix m; the lead and the arpeggio to fx, which gets the echo.
void bar(Mix& m, Mix& fx, Section s, int bar_no, int in_section, int section_bars, Rng& rng) {
    const size_t at = size_t(bar_no) * kBar;
    const bool b_theme = s == kThemeB || s == kThemeB2;
    const Chord& ch = (s == kBreak) ? kProgBreak[in_section & 3]
                      : b_theme    ? kProgB[in_section & 3]
                                   : kProgA[in_section & 3];
    const bool last = in_section == section_bars - 1;

    // Pad: the whole bar, a little softer under the themes. The outro holds F for two bars,
    // then A minor rings into the tail.
    const double pad_vol = (s == kIntro || s == kBreak || s == kOutro) ? 0.075 : 0.05;
    if (s != kOutro) {
        for (int k = 0; k < 3; ++k) pad(m, at, ch.n[k], kBar, pad_vol, 0.25 + 0.25 * k);
    } else if (in_section != 1) {
        const Chord& end = in_section == 0 ? kF : kAm;
        const int len = in_section == 0 ? 2 * kBar : kBar + kTail - kRate;
        for (int k = 0; k < 3; ++k) pad(m, at, end.n[k], len, pad_vol, 0.25 + 0.25 * k);
    }

    const bool drums = s != kIntro && s != kBreak && s != kOutro;
    if (drums) {
        for (int st = 0; st < 16; ++st) {
            const size_t t = at + size_t(st) * kStep;
            const bool four = s == kBuild;
            if (four ? st % 4 == 0 : (st == 0 || st == 8 || st == 10 || (st == 3 && (in_section & 1))))
                kick(m, t, 0.45);
            if (!four && (st == 4 || st == 12)) snare(m, t, 0.8, rng);
            if (four && in_section == section_bars - 1 && st >= 8) snare(m, t, 0.3 + 0.05 * (st - 8), rng);
            if (last && !four && st >= 13) snare(m, t, 0.45, rng);
            if (st % 2 == 0) hat(m, t, st % 4 == 2 ? 0.35 : 0.22, st == 14 && !last, rng);
            else if (s != kGroove) hat(m, t, 0.12, false, rng);
        }
    } else if (s == kIntro) {
        for (int st = 2; st < 16; st += 4) hat(m, at + size_t(st) * kStep, 0.08 + 0.03 * in_section, false, rng);
    }

    if (drums || s == kBreak) {
        static const int pattern[8][2] = {{0, 0}, {3, 0}, {6, 12}, {8, 0}, {10, 7}, {11, 0}, {14, 12}, {15, 7}};
        const int root = ch.n[0] - 24 + (ch.n[0] - 24 < 33 ? 12 : 0);
        for (auto& p : pattern) {
            if (s == kBreak && p[0] != 0 && p[0] != 8) continue;
            const int len = s == kBreak ? 8 : 2;
            bass(m, at + size_t(p[0]) * kStep, root + p[1], len * kStep - 400, s == kBreak ? 0.33 : 0.42);
        }
    }

    if (s == kThemeA || s == kThemeA2 || b_theme) {
        const std::vector<Note>& phrase = b_theme ? kTheme2[in_section & 3] : kTheme1[in_section & 3];
        for (const Note& n : phrase) lead(fx, at + size_t(n.step) * kStep, n.note, n.len * kStep - 300, 0.16);
    }

    if (s == kBreak || s == kBuild || s == kThemeA2 || s == kThemeB2) {
        static const int order[4] = {0, 1, 2, 1};
        for (int st = 0; st < 16; ++st) {
            const int note = ch.n[order[st & 3]] + 12 + ((st & 4) ? 12 : 0);
            arp(fx, at + size_t(st) * kStep, note, s == kBreak ? 0.07 : 0.06, (st & 1) ? 0.2 : 0.8);
        }
    }
}

// A stereo echo: three sixteenths, fed back at 0.3, left and right crossed.
void echo(Mix& m) {
    const size_t d = size_t(3) * kStep;
    for (size_t i = d; i < m.l.size(); ++i) {
        m.l[i] += 0.3f * m.r[i - d];
        m.r[i] += 0.3f * m.l[i - d];
    }
}

void put16(FILE* f, unsigned v) {
    std::fputc(int(v & 0xFF), f);
    std::fputc(int((v >> 8) & 0xFF), f);
}

void put32(FILE* f, uint32_t v) {
    put16(f, v & 0xFFFF);
    put16(f, v >> 16);
}

}  // namespace

int gen_music(const char* path) {
    Mix m(size_t(kBars) * kBar + kTail), fx(m.l.size());
    Rng rng{0xC0FFEEu};
    int bar_no = 0;
    for (const Span& sp : kForm)
        for (int i = 0; i < sp.bars; ++i) bar(m, fx, sp.s, bar_no++, i, sp.bars, rng);
    echo(fx);
    for (size_t i = 0; i < m.l.size(); ++i) {
        m.l[i] += fx.l[i];
        m.r[i] += fx.r[i];
    }

    // Loudness: the whole mix to -16 dB RMS, then a soft knee above 0.55 so drum peaks round
    // off below 0.8: decoded, the MP3 overshoots the WAV by about 1.5 dB and must not clip.
    double power = 0.0;
    for (size_t i = 0; i < m.l.size(); ++i) power += double(m.l[i]) * m.l[i] + double(m.r[i]) * m.r[i];
    const double rms = std::sqrt(power / (2.0 * double(m.l.size())));
    const double gain = rms > 0.0 ? 0.1585 / rms : 1.0;
    auto knee = [](double x) {
        const double a = std::fabs(x);
        const double y = a < 0.55 ? a : 0.55 + 0.25 * std::tanh((a - 0.55) / 0.25);
        return x < 0 ? -y : y;
    };
    const size_t n = m.l.size();
    FILE* f = std::fopen(path, "wb");
    if (!f) return 1;
    std::fwrite("RIFF", 1, 4, f);
    put32(f, uint32_t(36 + n * 4));
    std::fwrite("WAVEfmt ", 1, 8, f);
    put32(f, 16);
    put16(f, 1);  // PCM
    put16(f, 2);
    put32(f, kRate);
    put32(f, kRate * 4);
    put16(f, 4);
    put16(f, 16);
    std::fwrite("data", 1, 4, f);
    put32(f, uint32_t(n * 4));
    for (size_t i = 0; i < n; ++i) {
        // Fade the last half second so the tail ends in silence.
        const double fade = std::min(1.0, double(n - i) / (kRate / 2));
        put16(f, unsigned(int16_t(std::lround(knee(m.l[i] * gain) * fade * 32767.0))) & 0xFFFF);
        put16(f, unsigned(int16_t(std::lround(knee(m.r[i] * gain) * fade * 32767.0))) & 0xFFFF);
    }
    return std::fclose(f) == 0 ? 0 : 1;
}
