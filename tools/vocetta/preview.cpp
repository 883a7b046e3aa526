// vocetta preview: one HTML page that plays a recording with its waveform, its mouth cues and a
// drawn mouth that follows playback. Everything is inside the page (the audio as a data URL), so
// it opens offline and can be mailed around.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>

#include "command.hpp"
#include "common.hpp"
#include "error.hpp"
#include "mouth.hpp"
#include "output.hpp"
#include "timeline.hpp"
#include "transcript.hpp"
#include "vocetta/transcript.hpp"

namespace Vocetta::Tool {
namespace {

constexpr const char* kSummary =
    "Writes one self-contained HTML page (the audio embedded, nothing fetched from a network):\n"
    "the waveform, the mouth cues of 'analyze --cues' as a track under it, and a drawn mouth that\n"
    "shows the current cue while the recording plays. With the recording's words (--text, --ipa,\n"
    "...) their phones are a track of their own, where the alignment put them. Click the waveform\n"
    "or a track to seek; open the page with #t=SECONDS to start there.";

struct PreviewOptions {
    CommonOptions common;
    MouthArguments mouth;
    std::vector<std::string> inputs;
    std::string output;
    LabelArguments labels;
    TranscriptArguments transcript;
    std::string cuesFile;  // --cues-file: a baked or edited json cue file to show instead
};

void AddOptions(CommandLine& line, PreviewOptions& options) {
    line.Positional("AUDIO", options.inputs, "the recording to preview");
    line.Text("-o,--output", options.output, "FILE", "the HTML file to write (required)");
    AddLabelOptions(line, options.labels);
    AddTranscriptOptions(line, options.transcript);
    line.Text("--cues-file", options.cuesFile, "FILE",
              "show these cues (a json cue file of 'analyze --cues', edited since or not; its "
              "shapes those of --shapes) instead of the recording's own");
    AddMouthOptions(line, options.mouth);
    AddCommonOptions(line, options.common);
    AddCleaningOption(line, options.common);
    AddForceOption(line, options.common);
}

constexpr int kColumns = 1000;  // waveform resolution, in the page's own units

// How a shape is drawn: mouth width and opening (page units), how round the lips are, which
// teeth show, where the tongue is, whether the upper teeth rest on the lower lip.
struct Drawing {
    double width, open, round;
    int teeth;   // 0 none, 1 upper, 2 upper and lower
    int tongue;  // 0 none, 1 low, 2 raised to the teeth, 3 between the teeth
    bool bite;
};

Drawing DrawingFor(Host::ShapeSet set, const std::string& shape) {
    const Drawing closed{60, 0, 0, 0, 0, false}, clenched{62, 9, 0.1, 2, 0, false},
        open{60, 24, 0.2, 1, 1, false}, wide{66, 40, 0.3, 1, 1, false},
        rounded{46, 26, 0.7, 1, 0, false}, puckered{26, 16, 1.0, 0, 0, false},
        bite{56, 10, 0.1, 0, 0, true}, tongue{58, 28, 0.2, 1, 2, false},
        rest{52, 2, 0, 0, 0, false};
    if (set == Host::ShapeSet::Cartoon) {
        const Drawing drawings[] = {closed,   clenched, open,   wide, rounded,
                                    puckered, bite,     tongue, rest};
        return drawings[Host::ShapeIndex(set, shape)];
    }
    // sil PP FF TH DD kk CH SS nn RR aa E ih oh ou
    const Drawing between{58, 12, 0.1, 2, 3, false}, small{58, 16, 0.2, 1, 2, false},
        back{60, 20, 0.2, 1, 1, false}, forward{40, 14, 0.6, 2, 0, false};
    const Drawing drawings[] = {rest, closed,  bite,     between, small,
                                back, forward, clenched, tongue,  rounded,
                                wide, open,    clenched, rounded, puckered};
    return drawings[Host::ShapeIndex(set, shape)];
}

// The mouth of one shape as an SVG group, centred on (100, 100).
std::string MouthGroup(const std::string& name, const Drawing& d) {
    const double half = d.width / 2, top = 100 - d.open / 2 - 4, bottom = 100 + d.open / 2 + 4;
    const double bend = 6 + d.round * 10;
    std::string g =
        "<g class=\"shape\" data-shape=\"" + EscapeMarkup(name) + "\" display=\"none\">";
    // Lips: an outer outline that bulges with the opening and the rounding.
    g += "<path fill=\"#c0505a\" d=\"M" + FormatFixed(100 - half - 6, 2) + " 100 C" +
         FormatFixed(100 - half, 2) + " " + FormatFixed(top - bend, 2) + " " +
         FormatFixed(100 + half, 2) + " " + FormatFixed(top - bend, 2) + " " +
         FormatFixed(100 + half + 6, 2) + " 100 C" + FormatFixed(100 + half, 2) + " " +
         FormatFixed(bottom + bend, 2) + " " + FormatFixed(100 - half, 2) + " " +
         FormatFixed(bottom + bend, 2) + " " + FormatFixed(100 - half - 6, 2) + " 100 Z\"/>";
    if (d.open > 0) {
        const double inner = half * (1 - 0.15 * d.round);
        g += "<ellipse fill=\"#3a1014\" cx=\"100\" cy=\"100\" rx=\"" + FormatFixed(inner, 2) +
             "\" ry=\"" + FormatFixed(d.open / 2, 2) + "\"/>";
        if (d.teeth >= 1) {
            g += "<rect fill=\"#f4f1ea\" x=\"" + FormatFixed(100 - inner * 0.7, 2) + "\" y=\"" +
                 FormatFixed(100 - d.open / 2, 2) + "\" width=\"" + FormatFixed(inner * 1.4, 2) +
                 "\" height=\"" + FormatFixed(std::min(6.0, d.open / 2), 2) + "\"/>";
        }
        if (d.teeth >= 2) {
            g += "<rect fill=\"#f4f1ea\" x=\"" + FormatFixed(100 - inner * 0.6, 2) + "\" y=\"" +
                 FormatFixed(100 + d.open / 2 - std::min(5.0, d.open / 2), 2) + "\" width=\"" +
                 FormatFixed(inner * 1.2, 2) + "\" height=\"" +
                 FormatFixed(std::min(5.0, d.open / 2), 2) + "\"/>";
        }
        if (d.tongue > 0) {
            const double y = d.tongue == 1   ? 100 + d.open * 0.3
                             : d.tongue == 2 ? 100 - d.open * 0.15
                                             : 100;
            g += "<ellipse fill=\"#d86a78\" cx=\"100\" cy=\"" + FormatFixed(y, 2) + "\" rx=\"" +
                 FormatFixed(inner * 0.55, 2) + "\" ry=\"" +
                 FormatFixed(std::max(2.0, d.open * 0.2), 2) + "\"/>";
        }
    } else {
        g += "<path stroke=\"#6e1f28\" stroke-width=\"2\" fill=\"none\" d=\"M" +
             FormatFixed(100 - half - 4, 2) + " 100 L" + FormatFixed(100 + half + 4, 2) +
             " 100\"/>";
    }
    if (d.bite) {  // the upper teeth reach down over the lower lip
        g += "<rect fill=\"#f4f1ea\" x=\"" + FormatFixed(100 - half * 0.5, 2) + "\" y=\"" +
             FormatFixed(100 - d.open / 2, 2) + "\" width=\"" + FormatFixed(half, 2) +
             "\" height=\"" + FormatFixed(d.open + 5, 2) + "\" rx=\"1.5\"/>";
    }
    return g + "</g>";
}

std::string HexColour(int shape, int rest) {
    const std::array<uint8_t, 3> rgb = ShapeColour(shape, rest);
    char text[8];
    std::snprintf(text, sizeof text, "#%02x%02x%02x", rgb[0], rgb[1], rgb[2]);
    return text;
}

std::string Base64(const std::string& bytes) {
    static const char kDigits[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    for (size_t i = 0; i < bytes.size(); i += 3) {
        uint32_t group = uint32_t(uint8_t(bytes[i])) << 16;
        if (i + 1 < bytes.size()) group |= uint32_t(uint8_t(bytes[i + 1])) << 8;
        if (i + 2 < bytes.size()) group |= uint32_t(uint8_t(bytes[i + 2]));
        out += kDigits[(group >> 18) & 63];
        out += kDigits[(group >> 12) & 63];
        out += i + 1 < bytes.size() ? kDigits[(group >> 6) & 63] : '=';
        out += i + 2 < bytes.size() ? kDigits[group & 63] : '=';
    }
    return out;
}

// The mono mix as 16-bit PCM WAV, which every browser plays.
std::string WavFile(const Recording& recording) {
    auto u32 = [](uint32_t v) {
        return std::string{char(v & 255), char((v >> 8) & 255), char((v >> 16) & 255),
                           char(v >> 24)};
    };
    auto u16 = [](uint32_t v) { return std::string{char(v & 255), char((v >> 8) & 255)}; };
    const auto rate = static_cast<uint32_t>(recording.sampleRate);
    const auto bytes = static_cast<uint32_t>(recording.samples.size() * 2);
    std::string out = "RIFF" + u32(36 + bytes) + "WAVEfmt " + u32(16) + u16(1) + u16(1) +
                      u32(rate) + u32(rate * 2) + u16(2) + u16(16) + "data" + u32(bytes);
    out.reserve(out.size() + bytes);
    for (const float sample : recording.samples) {
        const float clamped = std::isfinite(sample) ? std::clamp(sample, -1.0f, 1.0f) : 0.0f;
        const auto value = static_cast<uint16_t>(static_cast<int16_t>(std::lrint(clamped * 32767)));
        out += u16(value);
    }
    return out;
}

// Vertical strokes from each column's lowest to its highest sample.
std::string WaveformPath(const Recording& recording) {
    std::string path;
    const size_t count = recording.samples.size();
    if (count == 0) return "M0 50 L1000 50";
    for (int column = 0; column < kColumns; ++column) {
        const size_t first = count * static_cast<size_t>(column) / kColumns;
        const size_t last = std::max(first + 1, count * static_cast<size_t>(column + 1) / kColumns);
        float low = 0, high = 0;
        for (size_t i = first; i < std::min(last, count); ++i) {
            if (!std::isfinite(recording.samples[i])) continue;
            low = std::min(low, recording.samples[i]);
            high = std::max(high, recording.samples[i]);
        }
        const double top = 50 - 48 * std::clamp(high, -1.0f, 1.0f);
        const double bottom = std::max(top + 0.5, 50 - 48 * double(std::clamp(low, -1.0f, 1.0f)));
        path += 'M';
        path += std::to_string(column);
        path += ".5 " + FormatFixed(top, 2) + "V" + FormatFixed(bottom, 2);
    }
    return path;
}

constexpr const char* kStyle = R"css(
body { font: 14px sans-serif; margin: 24px; color: #202124; background: #fafafa; }
h1 { font-size: 18px; margin: 0 0 12px; word-break: break-all; }
.row { display: flex; gap: 24px; align-items: flex-start; }
#face { width: 220px; height: 220px; background: #f6d7b8; border-radius: 50%; flex: none; }
#tracks { flex: 1; min-width: 300px; }
#tracks svg { width: 100%; display: block; cursor: pointer; }
#wave { height: 120px; background: #fff; border: 1px solid #dadce0; }
#cues, #phones { height: 36px; border: 1px solid #dadce0; border-top: none; }
#now { font-size: 28px; font-weight: bold; margin: 8px 0; }
audio { width: 100%; margin-top: 12px; }
)css";

// Keeps the mouth, the playhead and the page's state on the current cue. window.vocettaPreview
// holds {time, shape}; the mouth's data-shape attribute says the same for tools that read the DOM.
constexpr const char* kScript = R"js(
(function () {
  const data = JSON.parse(document.getElementById('cue-data').textContent);
  const audio = document.getElementById('audio');
  const mouth = document.getElementById('mouth');
  const shapes = Array.from(mouth.querySelectorAll('g.shape'));
  const heads = Array.from(document.querySelectorAll('.playhead'));
  const now = document.getElementById('now');
  // The [start, end, ...] span of `spans` (in order, none overlapping) holding t, or null.
  function spanAt(spans, t) {
    let low = 0, high = spans.length;
    while (low < high) {
      const mid = (low + high) >> 1;
      if (spans[mid][0] <= t) low = mid + 1; else high = mid;
    }
    return low > 0 && t < spans[low - 1][1] ? spans[low - 1] : null;
  }
  function shapeAt(t) {
    const cue = spanAt(data.cues, t);
    return cue ? cue[2] : data.rest;
  }
  function wordAt(t) {
    const phone = spanAt(data.phones, t);
    return phone && phone[3] > 0 ? data.words[phone[3] - 1] : '';
  }
  function show(t) {
    const shape = shapeAt(t);
    if (mouth.getAttribute('data-shape') !== shape) {
      mouth.setAttribute('data-shape', shape);
      for (const g of shapes) g.setAttribute('display', g.dataset.shape === shape ? 'inline' : 'none');
    }
    const x = data.duration > 0 ? Math.min(1, t / data.duration) * 1000 : 0;
    for (const head of heads) { head.setAttribute('x1', x); head.setAttribute('x2', x); }
    now.textContent = shape + '  ' + t.toFixed(2) + ' s' + (data.phones ? '  ' + wordAt(t) : '');
    window.vocettaPreview = { time: t, shape: shape };
  }
  function seek(t) { audio.currentTime = t; show(audio.currentTime); }
  function tick() { show(audio.currentTime); if (!audio.paused) requestAnimationFrame(tick); }
  audio.addEventListener('play', () => requestAnimationFrame(tick));
  audio.addEventListener('seeked', () => show(audio.currentTime));
  audio.addEventListener('timeupdate', () => show(audio.currentTime));
  for (const svg of document.querySelectorAll('#tracks svg')) {
    svg.addEventListener('click', (event) => {
      const box = svg.getBoundingClientRect();
      seek((event.clientX - box.left) / box.width * data.duration);
    });
  }
  window.vocettaSeek = seek;
  const start = /^#t=([0-9.]+)$/.exec(location.hash);
  if (start) seek(parseFloat(start[1])); else show(0);
})();
)js";

// What the tracks share: the playhead line that closes each, and a span's tooltip and its name
// where it is wide enough to hold it.
std::string Playhead(int height) {
    return "<line class=\"playhead\" x1=\"0\" x2=\"0\" y1=\"0\" y2=\"" + std::to_string(height) +
           "\" stroke=\"#d93025\" stroke-width=\"2\" "
           "vector-effect=\"non-scaling-stroke\"/></svg>\n";
}

std::string SpanTitle(const std::string& name, double start, double end) {
    return "<title>" + EscapeMarkup(name) + " " + FormatFixed(start, 2) + " - " +
           FormatFixed(end, 2) + " s</title>";
}

std::string SpanName(double x, double width, const std::string& name) {
    return "<text x=\"" + FormatFixed(x + width / 2, 2) +
           "\" y=\"24\" font-size=\"16\" text-anchor=\"middle\">" + EscapeMarkup(name) + "</text>";
}

// The phones of the recording's transcript where they are said, each word in a colour of its own.
std::string PhoneTrack(const std::vector<PhoneSegment>& phones, double duration) {
    std::string track = "<svg id=\"phones\" viewBox=\"0 0 1000 36\" preserveAspectRatio=\"none\">";
    const double scale = duration > 0 ? 1000.0 / duration : 0.0;
    for (const PhoneSegment& phone : phones) {
        const double x = phone.start * scale, width = (phone.end - phone.start) * scale;
        const char* fill = phone.word == 0 ? "#ffffff" : phone.word % 2 ? "#e8f0fe" : "#fef7e0";
        track += "<rect class=\"phone\" data-phone=\"" + EscapeMarkup(phone.phone) +
                 "\" data-word=\"" + std::to_string(phone.word) + "\" x=\"" + FormatFixed(x, 2) +
                 "\" y=\"0\" width=\"" + FormatFixed(width, 2) + "\" height=\"36\" fill=\"" + fill +
                 "\" stroke=\"#dadce0\" vector-effect=\"non-scaling-stroke\">" +
                 SpanTitle(phone.phone, phone.start, phone.end) + "</rect>";
        if (width >= 10 && phone.word > 0) track += SpanName(x, width, phone.phone);
    }
    return track + Playhead(36);
}

// `phones` and `words` (each named by its written words where they are known): the
// transcript's, or empty without one.
std::string PreviewPage(const CueTrack& track, const Recording& recording,
                        const std::vector<PhoneSegment>& phones,
                        const std::vector<std::string>& words) {
    const std::vector<std::string>& names = Host::ShapeNames(track.set);
    const int rest = Host::RestShape(track.set);
    std::string page = "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n";
    page += "<title>" + EscapeMarkup(track.soundFile) + " - vocetta preview</title>\n";
    page += "<style>" + std::string(kStyle) + "</style>\n</head>\n<body>\n";
    page += "<h1>" + EscapeMarkup(track.soundFile) + "</h1>\n<div class=\"row\">\n";

    page += "<svg id=\"face\" viewBox=\"0 0 200 200\"><g id=\"mouth\" data-shape=\"\">";
    for (const std::string& name : names)
        page += MouthGroup(name, DrawingFor(track.set, name));
    page += "</g></svg>\n<div id=\"tracks\">\n<div id=\"now\"></div>\n";

    page += "<svg id=\"wave\" viewBox=\"0 0 1000 100\" preserveAspectRatio=\"none\">";
    page += "<path stroke=\"#1a73e8\" stroke-width=\"1\" fill=\"none\" d=\"" +
            WaveformPath(recording) + "\"/>";
    page += Playhead(100);

    page += "<svg id=\"cues\" viewBox=\"0 0 1000 36\" preserveAspectRatio=\"none\">";
    const double scale = track.duration > 0 ? 1000.0 / track.duration : 0.0;
    for (const Host::MouthCue& cue : track.cues) {
        const double x = cue.start * scale, width = (cue.end - cue.start) * scale;
        page += "<rect class=\"cue\" data-shape=\"" + EscapeMarkup(names[cue.shape]) + "\" x=\"" +
                FormatFixed(x, 2) + "\" y=\"0\" width=\"" + FormatFixed(width, 2) +
                "\" height=\"36\" fill=\"" + HexColour(cue.shape, rest) + "\">" +
                SpanTitle(names[cue.shape], cue.start, cue.end) + "</rect>";
        if (width >= 14) page += SpanName(x, width, names[cue.shape]);
    }
    page += Playhead(36);

    if (!phones.empty()) page += PhoneTrack(phones, track.duration);

    page += "<audio id=\"audio\" controls preload=\"auto\" src=\"data:audio/wav;base64," +
            Base64(WavFile(recording)) + "\"></audio>\n</div>\n</div>\n";

    // The cues for the script: [start, end, shape] in seconds.
    Json cues = Json::array();
    for (const Host::MouthCue& cue : track.cues)
        cues.push_back({cue.start, cue.end, names[cue.shape]});
    Json document = {{"duration", track.duration}, {"rest", names[rest]}, {"cues", cues}};
    if (!phones.empty()) {
        Json said = Json::array();
        for (const PhoneSegment& phone : phones)
            said.push_back({phone.start, phone.end, phone.phone, phone.word});
        document["phones"] = said;
        document["words"] = Json(words);
    }
    std::string data = JsonText(document, {.decimals = 2});
    // Inside a script element "</" could end it early; "<\/" is the same JSON.
    for (size_t at = data.find("</"); at != std::string::npos; at = data.find("</", at + 2))
        data.insert(at + 1, "\\");
    page += "<script type=\"application/json\" id=\"cue-data\">" + data + "</script>\n";
    page += "<script>" + std::string(kScript) + "</script>\n</body>\n</html>\n";
    return page;
}

}  // namespace

int RunPreview(const Arguments& arguments) {
    PreviewOptions options;
    CommandLine line("preview", kSummary);
    AddOptions(line, options);
    if (!line.Parse(arguments)) return kExitOk;
    CheckOneRecordingToAFile(options.common, options.inputs, options.output,
                             "the HTML file to write with -o PAGE.html");
    const std::string* output = &options.output;
    // Checked once here; the page shows the cues of 'analyze --cues', the mouth resting below the
    // recording's own gate and wherever its labels say silence.
    const MouthOptions mouth = MouthFromOptions(options.mouth, 0.01f);
    const LabelSettings labelling = LabelSettingsFrom(options.labels);
    BatchSettings settings = BatchFromOptions(options.common, "vocetta preview");
    settings.keepSamples = true;  // the page embeds the audio
    const Profile profile = LoadProfileOrDefault(options.common.profile);
    const std::vector<std::optional<Transcript>> transcripts = TranscriptsFor(
        options.transcript, options.inputs, profile, labelling.smoothing, settings, true);
    const Host::ShapeMap map =
        ShapeMapFor(profile, mouth.set, ProfileOrigin(options.common.profile));
    // Read first, so that a file that is not cues stops the run before any audio is.
    std::optional<CueTrack> given;
    if (!options.cuesFile.empty()) given = Host::LoadCueTrack(options.cuesFile, mouth.set);
    const Host::Library library = OpenLibrary(options.common.library);

    bool ok = false;
    RunBatch(
        library, profile, options.inputs, settings,
        [&](size_t, const Recording& recording, const Analysis& analysis) {
            // Cues made for another recording would play against the wrong sound.
            if (given && std::abs(given->duration - recording.Seconds()) > 0.05) {
                throw ToolError(options.cuesFile + ": cues of " + FormatNumber(given->duration) +
                                " s, but " + options.inputs[0] + " lasts " +
                                FormatNumber(recording.Seconds()) + " s");
            }
            const FrameLabels labels = LabelFrames(profile, analysis, labelling,
                                                   transcripts[0] ? &transcripts[0]->ipa : nullptr);
            const MouthOptions own = RecordingMouth(options.mouth, labels, analysis, labelling);
            // A line too short to say its phones still gets its page, without their track.
            std::vector<PhoneSegment> phones;
            if (!labels.phones.empty()) {
                try {
                    phones = PhoneSegments(labels, analysis);
                } catch (const ToolError&) {
                }
            }
            WriteOutput(
                *output,
                PreviewPage(given ? *given : BuildCueTrack(map, own, recording, analysis, labels),
                            recording, phones,
                            transcripts[0] ? transcripts[0]->written : std::vector<std::string>{}),
                options.common.existing());
            ok = true;
        },
        [&](size_t, const std::string&) {});
    return ok ? kExitOk : kExitFailure;
}

}  // namespace Vocetta::Tool
