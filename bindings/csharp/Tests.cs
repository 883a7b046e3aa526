// The C# host against the built library and the vocetta tool's own output.
//     mono vocetta-csharp-tests.exe LIBRARY PROFILE RECORDING.wav TOOL.csv SAMPLE.csv JOB_SYMBOL
//                                   CARTOON.tsv VISEMES.tsv STREAM.csv NOISY.wav NOISY_STREAM.csv
//                                   NOISY_CARTOON.json NOISY_VISEMES.json CARTOON.json
//                                   NOISY_CURVES.csv CURVES.json ADAPTED.json
// (JOB_SYMBOL: VOCETTA_SYMBOL_LIP_SYNC_JOB as the public header defines it; CARTOON and VISEMES:
// the tool's keyframes at 100 per second of cues that follow every frame; STREAM: the tool's
// rows of the recording streamed through standard input; see RunTests.cmake)
using System;
using System.Collections.Generic;
using System.Globalization;
using System.IO;
using System.Linq;

static class Tests {
    static int failures;

    static void Check(bool condition, string what) {
        if (!condition) {
            ++failures;
            Console.Error.WriteLine("FAILED: " + what);
        }
    }

    static string[][] Rows(string text) {
        return text.Split(new[] {'\n'}, StringSplitOptions.RemoveEmptyEntries)
            .Select(line => line.Split(',')).ToArray();
    }

    static bool Close(string a, string b, double tolerance) {
        var culture = CultureInfo.InvariantCulture;
        double x = double.Parse(a, culture), y = double.Parse(b, culture);
        return Math.Abs(x - y) <= tolerance * Math.Max(Math.Abs(x), Math.Abs(y)) + 1e-9;
    }

    // Same header, frame count and labels; numbers to `tolerance` (the tool prints six digits).
    static void SameFrames(string[][] expected, string[][] actual, double tolerance, string what) {
        Check(expected.Length == actual.Length,
              what + ": " + actual.Length + " rows, expected " + expected.Length);
        Check(string.Join(",", expected[0]) == string.Join(",", actual[0]), what + ": header");
        int mismatches = 0;
        for (int row = 1; row < Math.Min(expected.Length, actual.Length); ++row) {
            bool same = expected[row].Length == actual[row].Length && expected[row][1] == actual[row][1];
            for (int column = 0; same && column < expected[row].Length; ++column) {
                if (column != 1) same = Close(expected[row][column], actual[row][column], tolerance);
            }
            if (!same && mismatches++ < 3) {
                Console.Error.WriteLine(what + ": row " + row + ": " + string.Join(",", actual[row]) +
                                        ", expected " + string.Join(",", expected[row]));
            }
        }
        Check(mismatches == 0, what + ": " + mismatches + " rows differ");
    }

    static bool ProcessorHasAvx2() {
        try {
            string flags = File.ReadAllLines("/proc/cpuinfo").First(line => line.StartsWith("flags"));
            var set = new HashSet<string>(flags.Split(' ', '\t'));
            return set.Contains("avx2") && set.Contains("fma") && set.Contains("f16c");
        } catch (Exception) {
            return false;
        }
    }

    static float[] ScoresFor(Vocetta.Profile profile, params object[] shares) {
        var scores = new float[profile.Names.Length];
        for (int i = 0; i < shares.Length; i += 2)
            scores[Array.IndexOf(profile.Names, (string)shares[i])] = (float)(double)shares[i + 1];
        return scores;
    }

    static bool Near(double actual, double expected, double tolerance = 1e-5) {
        return Math.Abs(actual - expected) <= tolerance * Math.Max(1.0, Math.Abs(expected));
    }

    static void NearAll(float[] actual, double[] expected, string what) {
        bool same = actual.Length == expected.Length;
        for (int i = 0; same && i < actual.Length; ++i) same = Near(actual[i], expected[i]);
        Check(same, what + ": " + string.Join(" ", actual) + ", expected " +
                        string.Join(" ", expected));
    }

    // Sharpening, the volume's share of the rest shape and the jaw, worked by hand.
    static void MouthOnWorkedScores(Vocetta.Profile profile) {
        var settings = new Vocetta.MouthSettings {AttackSeconds = 0, ReleaseSeconds = 0,
                                                  Sharpness = 2, SilenceVolume = 0.01f,
                                                  LoudVolume = 0.25f};
        var mouth = new Vocetta.MouthShapes(profile, Vocetta.ShapeSet.Cartoon, settings);
        float[] scores = ScoresFor(profile, "A", 0.6, "E", 0.3, "sil", 0.1);
        // Fully loud: rest keeps none of its share; D 0.6 and C 0.3 squared and normalised.
        mouth.Update(scores, 0.25f, 0.01);
        var expected = new double[9];
        expected[3] = 0.36 / 0.45;
        expected[2] = 0.09 / 0.45;
        NearAll(mouth.Weights, expected, "loud frame");
        Check(Near(mouth.Jaw, 1.0) && mouth.DominantName == "D", "loud jaw and shape");
        // Halfway up on the log scale: rest keeps half its 0.1, the jaw half the open share.
        mouth.Update(scores, (float)Math.Sqrt(0.01 * 0.25), 0.01);
        double d = 0.36, c = 0.09, x = 0.05 * 0.05;
        expected[3] = d / (d + c + x);
        expected[2] = c / (d + c + x);
        expected[8] = x / (d + c + x);
        NearAll(mouth.Weights, expected, "half-loud frame");
        Check(Near(mouth.Jaw, (1 - expected[8]) * 0.5), "half-loud jaw: " + mouth.Jaw);
        mouth.Update(scores, 0.005f, 0.01);
        Check(mouth.DominantName == "X" && mouth.Jaw == 0 && mouth.Weights[8] == 1,
              "below the silence volume the mouth rests");
        // Both levels 20 dB down, as a level gate moves them for a quiet talker: the same frame
        // a tenth as loud is heard as the half-loud one was.
        mouth.SetVolumes(0.001f, 0.025f);
        mouth.Update(scores, (float)Math.Sqrt(0.001 * 0.025), 0.01);
        Check(Near(mouth.Jaw, (1 - expected[8]) * 0.5), "half-loud jaw, levels moved: " + mouth.Jaw);
        try {
            mouth.SetVolumes(0.1f, 0.05f);
            Check(false, "a loud volume under the silence volume is taken");
        } catch (Vocetta.VocettaException) {
        }
        try {
            new Vocetta.MouthShapes(profile, Vocetta.ShapeSet.Cartoon,
                                    new Vocetta.MouthSettings {Sharpness = 0.5});
            Check(false, "a sharpness below 1 is accepted");
        } catch (Vocetta.VocettaException) {
        }
        // Closed lips 0.5 against puckered 0.3: shown at a margin of 1.5 (0.33 > 0.3), not at 2
        // (0.25); the teeth on the lip 0.45 against 0.35 likewise at 1.25 (0.36), not at 1.5.
        string[] margins = {Margins(profile, "M", 0.5, "U", 0.3, "FV", 0.2, 1.5, 1),
                            Margins(profile, "M", 0.5, "U", 0.3, "FV", 0.2, 2, 1),
                            Margins(profile, "FV", 0.45, "U", 0.35, "M", 0.2, 1, 1.25),
                            Margins(profile, "FV", 0.45, "U", 0.35, "M", 0.2, 1, 1.5)};
        Check(string.Join(" ", margins) == "A F G F", "margins: " + string.Join(" ", margins));
    }

    // The shape shown for three loud scores, unsharpened, with the given margins.
    static string Margins(Vocetta.Profile profile, string a, double sa, string b, double sb, string c,
                          double sc, double closedMargin, double lipMargin) {
        var mouth = new Vocetta.MouthShapes(
            profile, Vocetta.ShapeSet.Cartoon,
            new Vocetta.MouthSettings {AttackSeconds = 0, ReleaseSeconds = 0, Sharpness = 1,
                                       ClosedMargin = closedMargin, LipMargin = lipMargin});
        mouth.Update(ScoresFor(profile, a, sa, b, sb, c, sc), 0.25f, 0.01);
        return mouth.DominantName;
    }

    // The teeth on the lip need 12 dB under the loudest frame of the last 50 ms (a share of
    // 0.2512): after a vowel at 0.2, 0.06 is not quiet enough (F), 0.04 is (G) until the vowel
    // leaves the window at 70 ms, when 0.06 is the loudest (0.04 > 0.0151, F; 0.01 is under, G).
    // A loud frame of FV alone keeps G.
    // The closed lips need 6 dB (0.5012): 0.11 shows F, 0.1 A; a louder 0.4 outdoes the frames
    // before it, so 0.15 shows A and 0.25 F.
    static void MouthDips(Vocetta.Profile profile) {
        var mouth = new Vocetta.MouthShapes(
            profile, Vocetta.ShapeSet.Cartoon,
            new Vocetta.MouthSettings {AttackSeconds = 0, ReleaseSeconds = 0, Sharpness = 1,
                                       LipDipDb = 12, ClosedDipDb = 6, DipWindowSeconds = 0.05});
        float[] fv = ScoresFor(profile, "FV", 0.7, "U", 0.3), m = ScoresFor(profile, "M", 0.7, "U", 0.3);
        var shown = new List<string>();
        foreach (float volume in new[] {0.2f, 0.06f, 0.04f, 0.04f, 0.04f, 0.04f, 0.04f, 0.01f}) {
            mouth.Update(fv, volume, 0.01);
            shown.Add(mouth.DominantName);
        }
        // Loud, and nothing but FV: no other shape has a weight to take G's place.
        mouth.Update(ScoresFor(profile, "FV", 1.0), 0.5f, 0.01);
        shown.Add(mouth.DominantName);
        mouth.Reset();
        foreach (float volume in new[] {0.2f, 0.11f, 0.1f, 0.4f, 0.15f, 0.25f}) {
            mouth.Update(m, volume, 0.01);
            shown.Add(mouth.DominantName);
        }
        Check(string.Join("", shown) == "FFGGGGFGGFFAFAF", "dips: " + string.Join("", shown));
        try {
            new Vocetta.MouthShapes(profile, Vocetta.ShapeSet.Cartoon,
                                    new Vocetta.MouthSettings {LipDipDb = -1});
            Check(false, "a negative dip is accepted");
        } catch (Vocetta.VocettaException) {
        }
    }

    // Attack and release are one-pole filters: a step reaches 1 - e^(-t/T).
    static void MouthFollowsAStep(Vocetta.Profile profile) {
        var mouth = new Vocetta.MouthShapes(profile);  // attack 20 ms, release 50 ms
        float[] scores = ScoresFor(profile, "A", 1.0);
        bool follows = true;
        var shown = new List<string>();
        for (int step = 1; step <= 10; ++step) {
            mouth.Update(scores, 0.5f, 0.005);
            double t = 0.005 * step;
            follows = follows && Near(mouth.Weights[3], 1 - Math.Exp(-t / 0.02)) &&
                      Near(mouth.Weights[8], Math.Exp(-t / 0.05)) &&
                      Near(mouth.Jaw, 1 - Math.Exp(-t / 0.02));
            shown.Add(mouth.DominantName);
        }
        Check(follows, "attack and release follow their closed forms");
        // D = 1 - e^(-t/20ms) outweighs X = e^(-t/50ms) first at 25 ms (0.713 > 0.607; at
        // 20 ms 0.632 < 0.670).
        Check(string.Join("", shown) == "XXXXDDDDDD", "shown during the step: " +
                                                       string.Join("", shown));
    }

    // The profile's phonemes onto the sets: built-in names, a phoneme's own weights, refusals.
    static void MouthMaps(string profileText) {
        var profile = Vocetta.Profile.Parse(profileText, "default.json");
        var cartoon = new Vocetta.MouthShapes(profile, Vocetta.ShapeSet.Cartoon);
        var visemes = new Vocetta.MouthShapes(profile, Vocetta.ShapeSet.Visemes);
        string[] cartoonShape = {"D", "B", "F", "C", "E", "A", "G", "B", "X"};
        string[] visemeShape = {"aa", "ih", "ou", "E", "oh", "PP", "FF", "SS", "sil"};
        Check(string.Join(" ", profile.Names) == "A I U E O M FV S sil", "the default's phonemes");
        bool mapped = true;
        for (int p = 0; p < profile.Names.Length; ++p) {
            for (int s = 0; s < 9; ++s)
                mapped = mapped && cartoon.MapAt(p, s) == (cartoon.ShapeNames[s] == cartoonShape[p] ? 1 : 0);
            for (int s = 0; s < 15; ++s)
                mapped = mapped && visemes.MapAt(p, s) == (visemes.ShapeNames[s] == visemeShape[p] ? 1 : 0);
        }
        Check(mapped, "the built-in shapes of the default's phonemes");

        var own = Vocetta.Profile.Parse(
            profileText.Replace("\"name\": \"A\",",
                                "\"name\": \"A\", \"shapes\": {\"cartoon\": {\"D\": 3, \"C\": 1}},"),
            "own.json");
        var mouth = new Vocetta.MouthShapes(own);
        Check(mouth.MapAt(0, 3) == 0.75f && mouth.MapAt(0, 2) == 0.25f, "own weights normalised");
        Check(new Vocetta.MouthShapes(own, Vocetta.ShapeSet.Visemes).MapAt(0, 10) == 1,
              "a set the phoneme does not name takes the built-in shape");
        Refused(profileText.Replace("\"name\": \"I\",", "\"name\": \"ee\","),
                "p.json: phonemes[1] (\"ee\").shapes: no \"cartoon\" weights");
        Refused(profileText.Replace("\"name\": \"A\",",
                                    "\"name\": \"A\", \"shapes\": {\"cartoon\": {\"Q\": 1}},"),
                "p.json: phonemes[0] (\"A\").shapes.cartoon.Q: the cartoon set has no such shape");
        Refused(profileText.Replace("\"name\": \"A\",",
                                    "\"name\": \"A\", \"shapes\": {\"faces\": {\"Q\": 1}},"),
                "p.json: phonemes[0] (\"A\").shapes: unknown shape set \"faces\"");
        Refused(profileText.Replace("\"name\": \"A\",",
                                    "\"name\": \"A\", \"shapes\": {\"cartoon\": {\"D\": 0}},"),
                "p.json: phonemes[0] (\"A\").shapes.cartoon: the weights must not all be 0");
    }

    static void Refused(string profileText, string message) {
        try {
            new Vocetta.MouthShapes(Vocetta.Profile.Parse(profileText, "p.json"));
            Check(false, "accepted: " + message);
        } catch (Vocetta.VocettaException error) {
            Check(error.Message.StartsWith(message), "message: " + error.Message);
        }
    }

    // The shape shown in every frame is the one the tool's cues show there: with no hold and no
    // closures the tool's cues follow the frames, and a keyframe every 10 ms (the hop) samples
    // each frame's cue once. A frame's cue runs from half a hop before its time to half a hop
    // after, rounded to hundredths, so it holds the keyframe nearest to 5 ms before the frame. Both weigh the closed and lip shapes with the margins and dips of
    // RunTests.cmake.
    static void MouthAgainstTheTool(Vocetta.Library library, Vocetta.Profile profile,
                                    float[] samples, int rate, Vocetta.ShapeSet set, string tool,
                                    bool[] silence) {
        string[] expected = tool.Split(new[] {'\n'}, StringSplitOptions.RemoveEmptyEntries)
                                .Select(line => line.Split('\t')[1]).ToArray();
        var margins = new Vocetta.MouthSettings {ClosedMargin = 2, LipMargin = 8, ClosedDipDb = 6,
                                                 LipDipDb = 12};
        string[][] rows = Sample.Mouth(library, profile, samples, rate, 10, set, margins, silence)
                              .Split(new[] {'\n'}, StringSplitOptions.RemoveEmptyEntries)
                              .Skip(1).Select(line => line.Split(',')).ToArray();
        string[] shown = rows.Select(row => row[1]).ToArray();
        int differ = 0, last = -1;
        for (int i = 0; i < shown.Length; ++i) {
            double time = double.Parse(rows[i][0], CultureInfo.InvariantCulture);
            last = (int)Math.Round(time * 100 - 0.5);
            string cue = last < expected.Length ? expected[last] : "(none)";
            if (shown[i] != cue && differ++ < 3) {
                Console.Error.WriteLine(set + ": frame " + i + " shows " + shown[i] +
                                        ", the tool " + cue);
            }
        }
        Check(shown.Length > 100 && expected.Length > last && differ == 0,
              set + ": " + differ + " of " + shown.Length + " frames differ from the tool's " +
              expected.Length + " keyframes");
        Check(shown.Distinct().Count() > 4, set + ": the recording shows several shapes");
    }

    // The step of the host SDK's own test: log scores (0, -3) twice, then (-1, 0) three times, a
    // change costing 2.5. Totals less the best after each frame: (0, -3), (0, -5.5), (0, -1.5)
    // with state 1 come from 0, then (0, -0.5) and (-0.5, 0) with state 1 staying. One frame
    // late, frame 2 is still 0 when frame 3 comes; the whole stream settles as 0 0 1 1 1.
    static void SmootherWorkedByHand() {
        float[][] rows = {new[] {0f, -3f}, new[] {0f, -3f}, new[] {-1f, 0f}, new[] {-1f, 0f},
                          new[] {-1f, 0f}};
        var late = new Vocetta.ViterbiSmoother(2, 2.5f, 1);
        var whole = new Vocetta.ViterbiSmoother(2, 2.5f, 4);
        string answers = string.Join("", rows.Select(row => late.Update(row)));
        foreach (float[] row in rows)
            whole.Update(row);
        Check(answers == "00001" && late.Settled(0) == 1 && late.Settled(1) == 1 &&
                  late.Settled(2) == -1,
              "one frame late: " + answers);
        string settled = string.Join("", Enumerable.Range(0, 5).Reverse().Select(whole.Settled));
        Check(settled == "00111", "the whole stream settled: " + settled);
        late.Reset();
        Check(late.Settled(0) == -1, "nothing after Reset");
        try {
            late.Update(new float[1]);
            Check(false, "a row of one value for two states is taken");
        } catch (ArgumentException) {
        }
        Check(Vocetta.ViterbiSmoother.LogScore(0) == Vocetta.ViterbiSmoother.ImpossibleLogScore &&
                  Vocetta.ViterbiSmoother.LogScore(1) == 0,
              "log scores of 0 and 1");
    }

    // The C# analyzer and live labels (a level gate 30 dB under the last 10 s, the smoother two
    // hops late: 20 ms)
    // label every frame as `vocetta analyze - --keep-noise` does, and with the noise cleaned as
    // `vocetta analyze -` (by default) does.
    // A window of four frames at one a second, the median as the level, the gate a tenth of it
    // (20 dB); the first of the window leaves once it holds four, as the SDK's test works it.
    static void LevelGateWorkedByHand() {
        var gate = new Vocetta.LevelGate(1.0, -20.0, 0.5, 4.0);
        Check(gate.WindowFrames == 4 && gate.Update(0.0f) == 0.0f, "a level gate starts at 0");
        float[] volumes = {1, 0, 3, 2, float.NaN, 5, 4, 0.5f, 0.5f, 0.5f, 0.5f};
        float[] levels = {1, 1, 3, 2, 2, 3, 4, 4, 4, 0.5f, 0.5f};
        for (int i = 0; i < volumes.Length; ++i) {
            float got = gate.Update(volumes[i]);
            Check(gate.Level == levels[i] && got == (float)(levels[i] * Math.Pow(10.0, -1.0)) &&
                      gate.Gate == got,
                  "level gate after volume " + i + ": " + gate.Level + ", " + got);
        }
        gate.Reset();
        Check(gate.Level == 0.0f && gate.Gate == 0.0f, "a level gate starts again");
        try {
            new Vocetta.LevelGate(100.0, 3.0);
            Check(false, "a gate above the level is taken");
        } catch (ArgumentOutOfRangeException) {
        }
    }

    static void StreamAgainstTheTool(Vocetta.Library library, Vocetta.Profile profile,
                                     float[] samples, int rate, string stream, bool cleanNoise,
                                     string name) {
        string[] expected = Rows(stream).Skip(1).Select(fields => fields[1]).ToArray();
        var live = new Vocetta.LiveLabels(profile, 100.0);
        var labels = new List<string>();
        using (var analyzer =
                   new Vocetta.Analyzer(library, profile, rate, rate / 100, "", cleanNoise)) {
            Action<Vocetta.Frame> label = frame => {
                int answer = live.Update(frame);
                if (answer >= 0) labels.Add(live.Names[answer]);
            };
            // In uneven blocks, as a capture callback delivers them.
            for (int at = 0; at < samples.Length;) {
                int count = Math.Min(at % 3 == 0 ? 441 : 1000, samples.Length - at);
                analyzer.Push(samples.Skip(at).Take(count).ToArray(), count, label);
                at += count;
            }
            analyzer.Finish(label);
            Check(analyzer.Pushed == samples.Length, name + ": every sample counted as pushed");
            foreach (int answer in live.Finish())
                labels.Add(live.Names[answer]);
        }
        int differ = 0;
        for (int i = 0; i < Math.Min(labels.Count, expected.Length); ++i) {
            if (labels[i] != expected[i] && differ++ < 3) {
                Console.Error.WriteLine(name + ": frame " + i + " is " + labels[i] + ", the tool's " +
                                        expected[i]);
            }
        }
        Check(labels.Count == expected.Length && labels.Count > 100 && differ == 0,
              name + ": " + differ + " of " + labels.Count + " labels differ from the tool's " +
                  expected.Length);
        Check(labels.Distinct().Count() > 3, name + ": the recording has several phonemes");
    }

    // The cleaner on its own: the same samples whatever the blocks, as many as pushed, silence
    // kept silent, and steady noise between two bursts of tone taken down while the tone stays.
    static void NoiseCleanerOnMadeUpSignals() {
        const int rate = 48000;
        var random = new Random(7);
        var signal = new float[3 * rate];
        for (int i = 0; i < signal.Length; ++i) {
            double noise = 0.01 * (random.NextDouble() * 2 - 1);
            bool tone = (i / (rate / 2)) % 2 == 1;  // every other half second
            signal[i] = (float)(noise + (tone ? 0.3 * Math.Sin(2 * Math.PI * 440 * i / rate) : 0));
        }
        var whole = new List<float>();
        var cleaner = new Vocetta.NoiseCleaner(rate);
        cleaner.Push(signal, signal.Length, whole);
        cleaner.Finish(whole);
        Check(whole.Count == signal.Length,
              "cleaner: " + whole.Count + " samples out of " + signal.Length);
        foreach (int block in new[] {1, 37, 4096}) {
            var pieces = new List<float>();
            for (int at = 0; at < signal.Length; at += block) {
                int count = Math.Min(block, signal.Length - at);
                cleaner.Push(signal.Skip(at).Take(count).ToArray(), count, pieces);
            }
            cleaner.Finish(pieces);
            Check(pieces.SequenceEqual(whole),
                  "cleaner: blocks of " + block + " give other samples");
        }
        Func<IEnumerable<float>, int, double> power = (samples, from) =>
            samples.Skip(from).Take(rate / 4).Select(x => (double)x * x).Average();
        // The middle of a half second of noise alone (1 to 1.5 s) and of one with the tone.
        int noiseAt = 9 * rate / 8, toneAt = 5 * rate / 8;
        double noiseBefore = power(signal, noiseAt), noiseAfter = power(whole, noiseAt);
        double toneBefore = power(signal, toneAt), toneAfter = power(whole, toneAt);
        Check(10 * Math.Log10(noiseBefore / noiseAfter) > 8, "cleaner: the noise taken down");
        Check(Math.Abs(10 * Math.Log10(toneBefore / toneAfter)) < 0.5, "cleaner: the tone kept");
        var silent = new List<float>();
        cleaner.Push(new float[5000], 5000, silent);
        cleaner.Finish(silent);
        Check(silent.Count == 5000 && silent.All(x => x == 0), "cleaner: silence stays silent");
        var odd = new List<float>();
        cleaner.Push(new[] {float.NaN, float.PositiveInfinity, 0.5f}, 3, odd);
        cleaner.Finish(odd);
        Check(odd.Count == 3 && odd.All(x => !float.IsNaN(x) && !float.IsInfinity(x)),
              "cleaner: samples that are not finite are taken as silence");
        Check(cleaner.FrameLength == 1024 && cleaner.Latency == 1536,
              "cleaner: frame and latency at 48 kHz");
        Check(new Vocetta.NoiseCleaner(16000).FrameLength == 256, "cleaner: frame at 16 kHz");
        try {
            new Vocetta.NoiseCleaner(999);
            Check(false, "cleaner: 999 Hz is taken");
        } catch (ArgumentOutOfRangeException) {
        }
    }

    // Once running, a live frame (capture block in, labels and mouth out) allocates nothing
    // managed: on an engine's audio thread a collection is an audible glitch.
    static void LiveFramesLeaveNoGarbage(Vocetta.Library library, Vocetta.Profile profile,
                                         float[] samples, int rate) {
        foreach (bool clean in new[] {false, true}) {
            using (var analyzer = new Vocetta.Analyzer(library, profile, rate, rate / 100, "", clean)) {
                var labels = new Vocetta.LiveLabels(profile, 100.0);
                var mouth = new Vocetta.MouthShapes(profile);
                int shown = 0;
                Action<Vocetta.Frame> onFrame = frame => {
                    if (labels.Update(frame) >= 0) ++shown;
                    float gate = Math.Max(labels.Gate, 1e-6f);
                    mouth.SetVolumes(gate, gate * Vocetta.MouthShapes.LoudOverSilence);
                    mouth.Update(frame, 0.01);
                };
                const int block = 480;  // 10 ms at 48 kHz, a typical capture callback
                var buffer = new float[block];
                int at = 0;
                Action pushOne = () => {
                    Array.Copy(samples, at, buffer, 0, block);
                    analyzer.Push(buffer, block, onFrame);
                    at += block;
                };
                while (at < samples.Length / 2) pushOne();  // every buffer at its working size
                long before = GC.GetAllocatedBytesForCurrentThread();
                int framesBefore = shown;
                while (at + block <= samples.Length) pushOne();
                long allocated = GC.GetAllocatedBytesForCurrentThread() - before;
                Check(shown - framesBefore > 20 && allocated == 0,
                      (clean ? "cleaned" : "plain") + " live frames: " + allocated + " bytes over " +
                          (shown - framesBefore) + " frames");
            }
        }
    }

    // Baked cues are the tool's bytes, the tool's files read back give the same track, and the
    // cue building itself on frames worked by hand.
    static void CuesAgainstTheTool(Vocetta.Library library, Vocetta.Profile profile,
                                   float[] samples, int rate, bool clean, Vocetta.ShapeSet set,
                                   string soundFile, string tool) {
        var track = Vocetta.CueTrack.Bake(library, profile, samples, rate, set, null, null, clean);
        string mine = track.ToJson(soundFile);
        string what = (clean ? "cleaned " : "") + Vocetta.Shapes.SetName(set) + " cues";
        int line = 0;
        string[] a = mine.Split('\n'), b = tool.Split('\n');
        while (line < Math.Min(a.Length, b.Length) && a[line] == b[line]) ++line;
        Check(mine == tool, what + ": line " + (line + 1) + " is " +
                                (line < a.Length ? a[line] : "(none)") + ", the tool's " +
                                (line < b.Length ? b[line] : "(none)"));
        Check(track.Cues.Length > 10, what + ": " + track.Cues.Length + " cues");
        var read = Vocetta.CueTrack.FromJson(tool, "tool.json", set);
        bool same = read.Cues.Length == track.Cues.Length &&
                    read.Duration == Math.Round(track.Duration, 2);
        for (int i = 0; same && i < read.Cues.Length; ++i) {
            same = read.Cues[i].Shape == track.Cues[i].Shape &&
                   read.Cues[i].Start == Math.Round(track.Cues[i].Start, 2) &&
                   read.Cues[i].End == Math.Round(track.Cues[i].End, 2);
        }
        Check(same, what + ": the tool's file read back");
        Check(read.ToJson(soundFile) == tool, what + ": read and written again");
    }

    // A mouth follows the labels' gate only once they have heard speech: a tenth of a second of
    // it and more than the 5 % of the window above the level's percentile (worked as the SDK's
    // test works them); a room's noise alone leaves it at rest, live and in a baked line.
    static void MouthRestsInRoomNoise(Vocetta.Library library, Vocetta.Profile profile) {
        Func<int, float, Vocetta.Frame> frame = (best, volume) => {
            var scores = new float[profile.Names.Length];
            for (int p = 0; p < scores.Length; ++p) scores[p] = p == best ? 0.92f : 0.01f;
            return new Vocetta.Frame {Volume = volume, Best = best, Scores = scores};
        };
        int silence = Array.IndexOf(profile.Names, "sil");
        var labels = new Vocetta.LiveLabels(profile, 100.0);
        var first = new List<int>();
        for (int k = 1; k <= 12; ++k) {
            labels.Update(frame(0, 0.3f));
            if (labels.MouthGate > 0) first.Add(k);
        }
        Check(first.SequenceEqual(new[] {12}) && labels.MouthGate == labels.Gate,
              "mouth gate after speech from the start: " + string.Join(" ", first));
        var room = new Vocetta.LiveLabels(profile, 100.0);
        for (int t = 0; t < 300; ++t) room.Update(frame(silence, 0.003f));
        Check(room.Gate > 0 && room.MouthGate == 0, "noise alone sets the gate, not the mouth's");
        first.Clear();
        for (int k = 1; k <= 20; ++k) {
            room.Update(frame(0, 0.3f));
            if (room.MouthGate > 0) first.Add(k);
        }
        Check(first.FirstOrDefault() == 18, "mouth gate after noise: from " + first.FirstOrDefault());
        Check(new Vocetta.LiveLabels(profile, 100.0, 0.02f).MouthGate == 0.02f,
              "a fixed gate is the mouth's");
        Check(Vocetta.LiveLabels.MouthSpeechFrames(100.0) == 10 &&
                  Vocetta.LiveLabels.MouthSpeechFrames(5.0) == 1,
              "a tenth of a second in frames");

        var hiss = new float[3 * 48000];
        uint state = 7;
        for (int i = 0; i < hiss.Length; ++i) {
            state = state * 1664525u + 1013904223u;
            hiss[i] = (int)state * 3.0e-12f;  // about -54 dBFS
        }
        var baked = Vocetta.CueTrack.Bake(library, profile, hiss, 48000,
                                          Vocetta.ShapeSet.Cartoon, null, null, true);
        Check(baked.Cues.Length == 1 && baked.Cues[0].Shape == 8,
              "room noise alone: " + baked.Cues.Length + " cues");
        var curves = Vocetta.ShapeCurves.Bake(library, profile, hiss, 48000,
                                              Vocetta.ShapeSet.Cartoon, 24);
        Check(curves.Jaw.All(j => j < 0.01f), "room noise alone: the jaw stays shut");
        // Samples that are not numbers are refused, as the tool refuses such a file.
        hiss[1000] = float.NaN;
        try {
            Vocetta.CueTrack.Bake(library, profile, hiss, 48000, Vocetta.ShapeSet.Cartoon);
            Check(false, "a NaN sample is refused");
        } catch (Vocetta.VocettaException error) {
            Check(error.Message == "samples[1000] is not a finite number",
                  "message: " + error.Message);
        }
    }

    static void CueBuildingWorkedByHand() {
        var cartoon = Vocetta.ShapeSet.Cartoon;  // A closed 0, C 2, D 3, X rest 8
        Func<Vocetta.MouthCue[], string> show = cues => string.Join(" ", cues.Select(
            cue => cue.Start.ToString("0.00", CultureInfo.InvariantCulture) + "-" +
                   cue.End.ToString("0.00", CultureInfo.InvariantCulture) + ":" + cue.Shape));
        // Frames every 10 ms from 5 ms: rest, 80 ms of D, a 30 ms rest (a closure), 60 ms of C,
        // a single frame of D (under half the 40 ms hold: joins the longer neighbour, C, on the
        // tie with the rest counted at half its length), rest. The closure, 30 ms, then takes
        // its missing 10 ms from D, which has more to spare than C.
        var shapes = new List<int>();
        foreach (var part in new[] {new[] {8, 10}, new[] {3, 8}, new[] {8, 3}, new[] {2, 6},
                                    new[] {3, 1}, new[] {8, 12}})
            for (int i = 0; i < part[1]; ++i) shapes.Add(part[0]);
        double[] times = shapes.Select((_, i) => 0.005 + 0.01 * i).ToArray();
        string built = show(Vocetta.CueTrack.Build(times, shapes.ToArray(), 0.4, cartoon));
        Check(built == "0.00-0.10:8 0.10-0.17:3 0.17-0.21:0 0.21-0.28:2 0.28-0.40:8",
              "cues worked by hand: " + built);
        // A 20 ms cue takes its missing 20 ms from the neighbour with more to spare, the later.
        var lengthened = Vocetta.CueTrack.Build(new[] {0.0, 0.10, 0.12, 0.14}, new[] {3, 3, 2, 3},
                                                0.3, cartoon);
        Check(show(lengthened) == "0.00-0.11:3 0.11-0.15:2 0.15-0.30:3",
              "a short cue lengthened: " + show(lengthened));
        string empty = show(Vocetta.CueTrack.Build(new double[0], new int[0], 1.25, cartoon));
        Check(empty == "0.00-1.25:8", "no frames: one rest: " + empty);
        var track = new Vocetta.CueTrack {
            Set = cartoon, Duration = 0.4,
            Cues = Vocetta.CueTrack.Build(times, shapes.ToArray(), 0.4, cartoon)};
        Check(track.ShapeAt(0.0) == 8 && track.ShapeAt(0.1) == 3 && track.ShapeAt(0.2) == 0 &&
                  track.ShapeAt(0.279) == 2 && track.ShapeAt(0.5) == 8 && track.ShapeAt(-1) == 8,
              "the shape at a time");
        // Durations printed as printf prints them: 1.125 is exactly halfway, and goes to even.
        track.Duration = 1.125;
        track.Cues[track.Cues.Length - 1].End = 1.125;
        string json = track.ToJson("a\"b\n.wav");
        Check(json.Contains("\"soundFile\": \"a\\\"b\\n.wav\",\n    \"duration\": 1.12\n"),
              "json: name escaped, halves to even: " + json);
        const string head = "{\"metadata\": {\"duration\": 1}, \"mouthCues\": ";
        foreach (var bad in new[] {
                     new[] {"{\"metadata\": {}, \"mouthCues\": []}",
                            "bad.json: metadata.duration: missing"},
                     new[] {head + "[{\"start\": 0, \"end\": 1, \"value\": \"Q\"}]}",
                            "bad.json: mouthCues[0].value: 'Q' is not a shape of the cartoon set"},
                     new[] {head + "[{\"start\": 0.5, \"end\": 0.2, \"value\": \"A\"}]}",
                            "bad.json: mouthCues[0]: must end after it starts"},
                     new[] {"[1", "bad.json: not JSON"}}) {
            try {
                Vocetta.CueTrack.FromJson(bad[0], "bad.json");
                Check(false, "a bad cue file is read: " + bad[0]);
            } catch (Vocetta.VocettaException error) {
                Check(error.Message.StartsWith(bad[1]), "cue file message: " + error.Message);
            }
        }
    }

    // A transcript: IPA split and classed as the SDK does, the alignment of a path worked by
    // hand, and baked cues and curves of the sample told its words, the tool's bytes.
    static void TranscriptAgainstTheTool(Vocetta.Library library, Vocetta.Profile profile,
                                         float[] samples, int rate, float[] noisy, int noisyRate,
                                         string noisyFile, string aligned, string curves) {
        const string words = "həlˈoʊ wˈɑːtʃ maɪ mˈaʊθ ˈɑː ˈiː ˈuː ˈeɪ ˈoʊ";
        var phones = Vocetta.Transcript.SplitIpa("  pɔ̃ tʰe͡ɪ,\n  ʃ(en)s.  ");
        Check(string.Join("|", phones) == "p|ɔ̃| |tʰ|e|ɪ| |ʃ| |s",
              "IPA split: " + string.Join("|", phones));
        Check(Vocetta.Transcript.IpaClass("ɔ̃") == "O" &&
                  Vocetta.Transcript.IpaClass("ʃ") == "S" && Vocetta.Transcript.IpaClass("ə") == "",
              "IPA classes");
        // A, a frame that sounds like a pause, I: one word keeps the pause out, two let it in.
        var rows = new[] {new float[] {0, -9, -9}, new float[] {-5, -6, 0},
                          new float[] {-9, 0, -9}};
        var said = new bool[3];
        Check(string.Join(" ", Vocetta.Transcript.Align(rows, 2, new[] {0, 1}, 2, 3, 10, said)) ==
                  "0 0 1",
              "aligned within a word");
        Check(string.Join(" ", Vocetta.Transcript.Align(
                  rows, 2, new[] {0, Vocetta.Transcript.PauseMayFall, 1})) == "0 2 1",
              "aligned across words");
        // The consonants' own shapes, and an affricate's t shown as its ʃ.
        var visemes = Vocetta.ShapeSet.Visemes;
        Check(Vocetta.Transcript.PhoneShape(visemes, "tʰ") == Vocetta.Shapes.Index(visemes, "DD") &&
                  Vocetta.Transcript.PhoneShape(Vocetta.ShapeSet.Cartoon, "l") ==
                      Vocetta.Shapes.Index(Vocetta.ShapeSet.Cartoon, "H") &&
                  Vocetta.Transcript.PhoneShape(visemes, "a") == -1,
              "phone shapes");
        int ch = Vocetta.Shapes.Index(visemes, "CH");
        Check(string.Join(" ", Vocetta.Transcript.FrameShapes("tʃa", visemes,
                                                              new[] {0, 1, 2, -1})) ==
                  ch + " " + ch + " -1 -1",
              "shapes of the frames");
        var track = Vocetta.CueTrack.Bake(library, profile, noisy, noisyRate, transcript: words);
        Check(track.ToJson(noisyFile) == aligned, "cues told the words are the tool's --ipa cues");
        var baked = Vocetta.ShapeCurves.Bake(library, profile, samples, rate,
                                             Vocetta.ShapeSet.Visemes, 24, null, false,
                                             transcript: words);
        Check(baked.ToCsv() == curves, "curves told the words are the tool's --ipa curves");
        try {
            Vocetta.CueTrack.Bake(library, profile, samples, rate, transcript: "tdk");
            Check(false, "a transcript of phones without a class is refused");
        } catch (Vocetta.VocettaException error) {
            Check(error.Message.Contains("stand for none"), "message: " + error.Message);
        }
        bool espeak;
        try {
            espeak = Vocetta.Transcript.Phonemise("ah") != null;
        } catch (Vocetta.VocettaException) {
            espeak = false;  // not installed: the words are not phonemised here
        }
        if (espeak) {
            string ipa = Vocetta.Transcript.Phonemise("Hello! Watch my mouth: ah, ee, oo, eh, oh.");
            Check(string.Join(" ", ipa.Split(new[] {' '}, StringSplitOptions.RemoveEmptyEntries)) ==
                      words,
                  "espeak-ng's phones: " + ipa);
            try {
                Vocetta.Transcript.Phonemise("ah", "zz");
                Check(false, "a voice espeak-ng lacks is refused");
            } catch (Vocetta.VocettaException error) {
                Check(error.Message.Contains("'zz'"), "message: " + error.Message);
            }
        }
    }

    // The phones where the sample says them, the tool's --phones rows to its six digits; each
    // word named by its written words, worked by hand as the SDK's are and from espeak-ng.
    static void PhonesAgainstTheTool(Vocetta.Library library, Vocetta.Profile profile,
                                     float[] noisy, int noisyRate, string rows, string wordRows) {
        const string words = "həlˈoʊ wˈɑːtʃ maɪ mˈaʊθ ˈɑː ˈiː ˈuː ˈeɪ ˈoʊ";
        var timeline = Vocetta.PhoneTimeline.Bake(library, profile, noisy, noisyRate, words);
        string[][] expected = Rows(rows);
        Check(string.Join(",", expected[0]) == "start,end,phone,word,written" &&
                  expected.Length - 1 == timeline.Phones.Length,
              "one span per row: " + timeline.Phones.Length);
        for (int i = 0; i + 1 < expected.Length && i < timeline.Phones.Length; ++i) {
            var span = timeline.Phones[i];
            string[] row = expected[i + 1];
            string written = span.Word == 0 ? "" : timeline.Written[span.Word - 1];
            Check(Close(row[0], span.Start.ToString("R", CultureInfo.InvariantCulture), 1e-5) &&
                      Close(row[1], span.End.ToString("R", CultureInfo.InvariantCulture), 1e-5) &&
                      row[2] == span.Phone && row[3] == span.Word.ToString() && row[4] == written,
                  "phone " + i + ": " + string.Join(",", row));
        }
        Check(timeline.Written.SequenceEqual(timeline.Words) && timeline.Words[3] == "maʊθ",
              "given as IPA, the words are named by it");
        string[][] spans = Rows(wordRows);
        var said = timeline.WordSpans();
        Check(string.Join(",", spans[0]) == "start,end,word,written,ipa" &&
                  spans.Length - 1 == said.Length && said.Length == 9,
              "one word span per row: " + said.Length);
        for (int i = 0; i + 1 < spans.Length && i < said.Length; ++i) {
            string[] row = spans[i + 1];
            Check(Close(row[0], said[i].Start.ToString("R", CultureInfo.InvariantCulture), 1e-5) &&
                      Close(row[1], said[i].End.ToString("R", CultureInfo.InvariantCulture), 1e-5) &&
                      row[2] == said[i].Word.ToString() && row[3] == said[i].Written &&
                      row[4] == said[i].Ipa,
                  "word " + i + ": " + string.Join(",", row));
        }
        var ee = timeline.Phones.First(span => span.Phone == "i");
        Check(timeline.WordAt(0.5 * (ee.Start + ee.End)) == 6 && timeline.WordAt(-1) == 0 &&
                  timeline.WordAt(timeline.Duration + 1) == 0,
              "the word said at a time");
        try {
            Vocetta.PhoneTimeline.Bake(library, profile, noisy, noisyRate, new string('a', 700));
            Check(false, "a recording too short for its phones has no timeline");
        } catch (Vocetta.VocettaException error) {
            Check(error.Message.Contains("too short to say its transcript's 700 phones"),
                  "message: " + error.Message);
        }
        Check(string.Join("|", Vocetta.Transcript.SplitWords(
                  "Don't stop\u2014it's $42.50, km/h! 'tis rock- on\u2026(sighs)")) ==
                  "Don't|stop|it's|$42.50|km/h|tis|rock|on|sighs",
              "written words");
        Check(string.Join("|", Vocetta.Transcript.WrittenWordNames(
                  "ðə dˈɑːɡ ɔnðə sˈoʊfə fˈɔːɹɾi tˈuː",
                  new[] {"The", "dog", "on", "the", "sofa", "42"},
                  new[] {"ðˈə", "dˈɑːɡ", "ˈɔn", "ðˈə", "sˈoʊfə", "fˈɔːɹɾi tˈuː"})) ==
                  "The|dog|on the|sofa|42|42",
              "words joined and a number said as two");
        Check(string.Join("|", Vocetta.Transcript.WrittenWordNames(
                  "le-z ɑ̃fˈɑ̃", new[] {"Les", "enfants"}, new[] {"lˈe-", "ɑ̃fˈɑ̃"})) ==
                  "Les|Les|enfants",
              "a liaison goes with the word before it");
        Check(Vocetta.Transcript.WrittenWordNames("həlˈoʊ wˈɜːld", new[] {"good", "night"},
                                                  new[] {"ɡˈʊd", "nˈaɪt"}) == null,
              "another text names nothing");
        // A scripted line's directions and markup are not said, as the SDK leaves them out.
        string[][] spokenOf = {
            new[] {"(sighs) Well, I suppose. [laughs]", " Well, I suppose. "},
            new[] {"[wave amp=50]Hel[/wave]lo {w=0.5}there, <color=#f00>you</color>!",
                   "Hello there, you!"},
            new[] {"I *told* you **so**.(beat)No.", "I told you so. No."},
            new[] {"(nested (brackets) too) yes", " yes"},
            new[] {"\uFF08\u7B11\uFF09\u306F\u3044\u3010\u5C0F\u58F0\u3011", "\u306F\u3044"},
            new[] {"I <3 you :) (really", "I <3 you :) (really"},
            new[] {"a (b\nc) d", "a (b\nc) d"}, new[] {"(sighs)", ""},
            new[] {"Hey, Bea! #line:0a1b2c #happy\nBye.(waves)#exit", "Hey, Bea! \nBye."},
            new[] {"We're #1 in C# # tag with words", "We're #1 in C# "},
            new[] {"#line:0a1b2c", ""}};
        foreach (string[] pair in spokenOf)
            Check(Vocetta.Transcript.SpokenText(pair[0]) == pair[1], "spoken: " + pair[0]);
        string[][] withoutSpeakers = {
            new[] {"Mae: Hi there.", "Hi there."},
            new[] {"  Old Man:\t Listen: we go.\r\nBea:\nat 10:30", "Listen: we go.\r\n\nat 10:30"},
            new[] {"Listen\\: we go now.", "Listen: we go now."},
            new[] {": not a name", ": not a name"}};
        foreach (string[] pair in withoutSpeakers)
            Check(Vocetta.Transcript.WithoutSpeakerNames(pair[0]) == pair[1],
                  "speaker: " + pair[0]);
        string text = "Hello, watch the mouth on the man";
        string ipa;
        try {
            ipa = Vocetta.Transcript.Phonemise(text);
        } catch (Vocetta.VocettaException) {
            return;  // no espeak-ng here: the words are not phonemised
        }
        var named = Vocetta.PhoneTimeline.Bake(library, profile, noisy, noisyRate, ipa, text);
        Check(string.Join("|", named.Written) == "Hello|watch|the|mouth|on the|man",
              "written words: " + string.Join("|", named.Written));
        string marked = "(softly) [b]Hello[/b], *watch* the <i>mouth</i> on the man";
        Check(Vocetta.Transcript.Phonemise(marked) == ipa &&
                  string.Join("|", Vocetta.Transcript.WrittenWords(marked, ipa)) ==
                      string.Join("|", named.Written),
              "a scripted line reads as its words");
        Check(Vocetta.Transcript.Phonemise(marked, literalText: true) != ipa,
              "literalText says the directions");
        string yarn = "Mae: " + marked;
        Check(Vocetta.Transcript.Phonemise(yarn, speakerNames: true) == ipa &&
                  string.Join("|", Vocetta.Transcript.WrittenWords(yarn, ipa, speakerNames: true)) ==
                      string.Join("|", named.Written),
              "a Yarn line's speaker is not said");
        try {
            Vocetta.Transcript.Phonemise("(sighs)");
            Check(false, "a line of directions alone says nothing");
        } catch (Vocetta.VocettaException error) {
            Check(error.Message.Contains("only directions and markup"), "message: " + error.Message);
        }
    }

    // A rig's curves of the baked visemes are the tool's --rig files, byte for byte; live, Mix
    // gives a frame's row of them; a file that is no rig is refused naming the member.
    static void RigAgainstTheTool(Vocetta.Library library, Vocetta.Profile profile,
                                  float[] samples, int rate, string soundFile, string rigPath,
                                  string json, string csv) {
        var curves = Vocetta.ShapeCurves.Bake(library, profile, samples, rate,
                                              Vocetta.ShapeSet.Visemes, 30, null, false);
        var rig = Vocetta.Rig.Load(rigPath);
        Check(rig.Name == "arkit" && rig.Curves[0] == "jawOpen" && rig.Curves[2] == "mouthPucker",
              "the ARKit rig's curves in the file's order: " + string.Join(",", rig.Curves));
        Check(rig.ToJson(curves, soundFile) == json, "the rig's json differs from the tool's");
        Check(rig.ToCsv(curves) == csv, "the rig's csv differs from the tool's");
        var weights = new float[curves.ShapeCount];
        var row = new float[rig.Curves.Length];
        int middle = curves.Frames / 2;
        float jaw = curves.Sample((double)middle / curves.Fps, weights);
        rig.Mix(weights, jaw, row);
        float[] all = rig.Values(curves);
        bool same = true;
        for (int c = 0; c < row.Length; ++c) same &= row[c] == all[middle * row.Length + c];
        Check(same, "Mix of a frame's weights gives that frame's row");
        string[][] faults = {
            new[] {"{\"rig\": \"r\", \"shapeSet\": \"cartoon\", \"curves\": {\"a\": {\"aa\": 1}}}",
                   "r.json: curves.a: 'aa' is neither the jaw nor a shape of the cartoon set"},
            new[] {"{\"rig\": \"r\", \"shapeSet\": \"visemes\", \"curves\": {}}",
                   "r.json: curves: must name at least one curve"},
            new[] {"{\"rig\": \"r\", \"shapeSet\": \"visemes\", \"curves\": {\"a\": {\"aa\": \"1\"}}}",
                   "r.json: curves.a.aa: must be a number of single precision"}};
        foreach (string[] fault in faults) {
            try {
                Vocetta.Rig.FromJson(fault[0], "r.json");
                Check(false, "accepted: " + fault[0]);
            } catch (Vocetta.VocettaException error) {
                Check(error.Message.StartsWith(fault[1]), "rig fault: " + error.Message);
            }
        }
        try {
            rig.Values(Vocetta.ShapeCurves.Bake(library, profile, samples, rate));
            Check(false, "a visemes rig mixed cartoon curves");
        } catch (Vocetta.VocettaException error) {
            Check(error.Message.Contains("not the cartoon set"), "set mismatch: " + error.Message);
        }
    }

    // Baked curves are the tool's bytes; between frame centres they are linear.
    static void CurvesAgainstTheTool(Vocetta.Library library, Vocetta.Profile profile,
                                     float[] samples, int rate, bool clean, Vocetta.ShapeSet set,
                                     int fps, string soundFile, string tool, bool json) {
        var curves =
            Vocetta.ShapeCurves.Bake(library, profile, samples, rate, set, fps, null, clean);
        string mine = json ? curves.ToJson(soundFile) : curves.ToCsv();
        string what = (clean ? "cleaned " : "") + Vocetta.Shapes.SetName(set) + " curves";
        string[] a = mine.Split('\n'), b = tool.Split('\n');
        int line = 0;
        while (line < Math.Min(a.Length, b.Length) && a[line] == b[line]) ++line;
        string shown = json ? "" : ": " + (line < a.Length ? a[line] : "(none)") + ", the tool's " +
                                      (line < b.Length ? b[line] : "(none)");
        Check(mine == tool, what + ": line " + (line + 1) + " differs from the tool's" + shown);
        Check(curves.Frames == (int)Math.Floor(curves.Duration * fps + 1e-9) + 1 &&
                  curves.ShapeCount == Vocetta.Shapes.Names(set).Length,
              what + ": " + curves.Frames + " frames of " + curves.ShapeCount + " shapes");
        if (!json) return;
        // Read back from the tool's file, as a game loads a baked line: the same curves, and at
        // each frame's time that frame's values.
        var loaded = Vocetta.ShapeCurves.FromJson(tool, "line.json");
        Check(loaded.ToJson(soundFile) == tool && loaded.Set == set && loaded.Fps == fps,
              what + ": read back, not the tool's file");
        var weights = new float[loaded.ShapeCount];
        int middle = loaded.Frames / 2, shapes = loaded.ShapeCount;
        float jaw = loaded.Sample((middle + 0.25) / fps, weights);
        bool between = Math.Abs(jaw - (0.75f * loaded.Jaw[middle] + 0.25f * loaded.Jaw[middle + 1])) < 1e-6;
        for (int s = 0; s < shapes; ++s) {
            float expected = 0.75f * loaded.Weight(middle, s) + 0.25f * loaded.Weight(middle + 1, s);
            between &= Math.Abs(weights[s] - expected) < 1e-6;
        }
        Check(between && loaded.Sample(-1, weights) == loaded.Jaw[0] &&
                  loaded.Sample(1e6, weights) == loaded.Jaw[loaded.Frames - 1],
              what + ": sampled between frames");
        try {
            Vocetta.ShapeCurves.FromJson("{\"metadata\": {\"duration\": 1, \"fps\": 24, " +
                                             "\"shapeSet\": \"visemes\", \"frames\": 1}, " +
                                             "\"curves\": {\"jaw\": [0]}}",
                                         "bad.json");
            Check(false, "curves without their shapes are refused");
        } catch (Vocetta.VocettaException error) {
            Check(error.Message == "bad.json: curves.sil: missing", "message: " + error.Message);
        }
    }

    // Adaptation: the estimate worked by hand, the tool's adapted references from the tool's
    // mean, and the analyzer scoring adapted rows as if made with the adapted profile.
    static void AdaptationAgainstTheTool(Vocetta.Library library, Vocetta.Profile profile,
                                         string profileText, float[] samples, int rate,
                                         Vocetta.Profile tool) {
        int m = profile.Coefficients;
        var estimate = new Vocetta.SpeakerEstimate(profile, 2);
        Func<float, float[]> row = value => Enumerable.Repeat(value, m).ToArray();
        bool counted = estimate.Offer(row(1), 1.0f) && estimate.Offer(row(3), 0.2f) &&
                       !estimate.Offer(row(100), 0.05f) && !estimate.Offer(row(100), 0) &&
                       !estimate.Offer(row(100), float.NaN) && !estimate.Add(row(float.NaN)) &&
                       !estimate.Add(new float[m + 1]);
        float[] mean = estimate.Mean();
        bool byHand = counted && estimate.Frames == 2;
        for (int i = 0; i < m; ++i)
            byHand &= mean[i] == (float)((2.0 * profile.SpeakerMeans[i] + 1 + 3) / 4);
        Check(byHand, "speaker estimate worked by hand");
        estimate.Reset();
        Check(estimate.Frames == 0 && estimate.Mean().SequenceEqual(profile.SpeakerMeans),
              "speaker estimate reset to the prior");

        var mine = profile.Adapt(tool.SpeakerMeans);
        bool same = mine.Names.SequenceEqual(tool.Names) &&
                    mine.SpeakerMeans.SequenceEqual(tool.SpeakerMeans);
        int moved = 0;
        for (int p = 0; same && p < mine.References.Length; ++p) {
            for (int r = 0; same && r < mine.References[p].Length; ++r) {
                same = mine.References[p][r].SequenceEqual(tool.References[p][r]);
                bool kept = mine.References[p][r].SequenceEqual(profile.References[p][r]);
                same &= kept == (mine.Names[p] == "sil");
                if (!kept) ++moved;
            }
        }
        Check(same && moved > 50, "adapted as the tool adapts: " + moved + " references moved");

        var direct = new List<string>();
        var swapped = new List<string>();
        Action<List<string>, Vocetta.Frame> keep = (list, frame) =>
            list.Add(frame.Best + " " +
                     string.Join(" ", frame.Scores.Select(x => x.ToString("R"))));
        using (var analyzer = new Vocetta.Analyzer(library, tool, rate, rate / 100))
            analyzer.Push(samples, samples.Length, frame => keep(direct, frame));
        using (var analyzer = new Vocetta.Analyzer(library, profile, rate, rate / 100)) {
            analyzer.SetReferenceRows(mine.ReferenceRows());
            analyzer.Push(samples, samples.Length, frame => keep(swapped, frame));
            try {
                analyzer.SetReferenceRows(new float[3]);
                Check(false, "three reference values taken");
            } catch (ArgumentException) {
            }
        }
        Check(direct.Count > 100 && direct.SequenceEqual(swapped),
              "adapted rows score as the adapted profile");

        string withoutMeans = System.Text.RegularExpressions.Regex.Replace(
            profileText, "\"speakerMeans\": \\[[^\\]]*\\],", "");
        var bare = Vocetta.Profile.Parse(withoutMeans, "bare.json");
        Check(bare.SpeakerMeans == null, "a profile without speakerMeans");
        foreach (Action refused in new Action[] {
                     () => new Vocetta.SpeakerEstimate(bare), () => bare.Adapt(new float[m]),
                     () => profile.Adapt(new float[m - 1]),
                     () => profile.Adapt(row(float.PositiveInfinity)),
                     () => new Vocetta.SpeakerEstimate(profile, -1)}) {
            try {
                refused();
                Check(false, "adaptation refuses bad input");
            } catch (Vocetta.VocettaException error) {
                Check(error.Message.Length > 20, "adaptation message: " + error.Message);
            }
        }
    }

    static int Main(string[] arguments) {
        var library = Vocetta.Library.Open(arguments[0]);
        var profile = Vocetta.Profile.Load(arguments[1]);
        int rate;
        float[] samples = Wav.Read(arguments[2], out rate);
        var tool = Rows(File.ReadAllText(arguments[3]));
        Check(Vocetta.Library.LipSyncJobExecuteSymbol == arguments[5],
              "the job's symbol is " + arguments[5] + " in the header");

        // The console sample prints what the tool prints.
        SameFrames(tool, Rows(File.ReadAllText(arguments[4])), 1e-4, "sample against the tool");
        // Unsmoothed live labels under a fixed gate of -40 dBFS are the tool's labels at once.
        var plain = new Vocetta.LiveLabels(profile, 100.0, 0.01f, false);
        var own = new List<string>();
        using (var analyzer = new Vocetta.Analyzer(library, profile, rate, rate / 100)) {
            analyzer.Push(samples, samples.Length, frame => own.Add(plain.Names[plain.Update(frame)]));
            analyzer.Finish(frame => own.Add(plain.Names[plain.Update(frame)]));
        }
        Check(plain.Lag == 0 && plain.Finish().Length == 0 &&
                  own.SequenceEqual(tool.Skip(1).Select(fields => fields[1])),
              "unsmoothed live labels against the tool's");

        // Every block the library takes goes back, with its own label, and every frame takes the
        // same number of blocks.
        long before = Vocetta.HostServices.Allocations;
        long badBefore = Vocetta.HostServices.BadReleases;
        var perFrame = new List<long>();
        long mark = before;
        using (var analyzer = new Vocetta.Analyzer(library, profile, rate, 160)) {
            analyzer.Push(samples, Math.Min(samples.Length, 16000), frame => {
                perFrame.Add(Vocetta.HostServices.Allocations - mark);
                mark = Vocetta.HostServices.Allocations;
            });
        }
        Check(perFrame.Count == (16000 - 512) / 160 + 1, "frames in the first second: " + perFrame.Count);
        Check(perFrame.Count > 0 && perFrame[0] > 0 && perFrame.All(n => n == perFrame[0]),
              "allocations per frame: " + string.Join(" ", perFrame.Distinct()));
        Check(Vocetta.HostServices.Live == 0, Vocetta.HostServices.Live + " blocks not released");
        Check(Vocetta.HostServices.BadReleases == badBefore, "releases with a wrong label or null");
        Check(Vocetta.HostServices.Releases - (Vocetta.HostServices.Allocations - before) >= 0,
              "releases balance allocations");

        // Each build called by its own symbol gives the forwarder's frames (the builds differ at
        // most in the last bits of SLEEF's results, which the profile's sharp scores magnify to
        // a few parts in a hundred thousand).
        string forwarded = Sample.Analyze(library, profile, samples, rate, 10, -40);
        SameFrames(tool, Rows(forwarded), 1e-4, "forwarder against the tool");
        SameFrames(Rows(forwarded), Rows(Sample.Analyze(library, profile, samples, rate, 10, -40,
                                                        Vocetta.Library.Sse2Suffix)),
                   1e-4, "SSE2 build");
        if (ProcessorHasAvx2()) {
            SameFrames(Rows(forwarded), Rows(Sample.Analyze(library, profile, samples, rate, 10, -40,
                                                            Vocetta.Library.Avx2Suffix)),
                       1e-5, "AVX2 build");
        } else {
            Console.WriteLine("skipped: the processor has no AVX2");
        }

        // Blocks of any size give the frames of one push, bit for bit.
        var whole = new List<string>();
        var pieces = new List<string>();
        Action<List<string>, Vocetta.Frame> keep = (list, frame) =>
            list.Add(frame.Time.ToString("R") + " " + frame.Volume.ToString("R") + " " +
                     string.Join(" ", frame.Scores.Select(s => s.ToString("R"))));
        using (var analyzer = new Vocetta.Analyzer(library, profile, rate, 137))
            analyzer.Push(samples, samples.Length, frame => keep(whole, frame));
        using (var analyzer = new Vocetta.Analyzer(library, profile, rate, 137)) {
            var random = new Random(5);
            for (int at = 0; at < samples.Length;) {
                int count = Math.Min(random.Next(1, 700), samples.Length - at);
                var block = new float[count];
                Array.Copy(samples, at, block, 0, count);
                analyzer.Push(block, count, frame => keep(pieces, frame));
                at += count;
            }
        }
        Check(whole.SequenceEqual(pieces), "blocks of any size");

        // The ring lengths worked out in docs/profile-format.md for a 1024-sample block at 16 kHz.
        var wide = Vocetta.Profile.Parse(File.ReadAllText(arguments[1]).Replace(
                                             "\"blockLength\": 512", "\"blockLength\": 1024"),
                                         "wide");
        Check(wide.RingLength(16000) == 1024, "ring at 16000 Hz");
        Check(wide.RingLength(48000) == 3072, "ring at 48000 Hz");
        Check(wide.RingLength(44100) == 2822, "ring at 44100 Hz");
        Check(wide.RingLength(22050) == 1411, "ring at 22050 Hz");
        try {
            wide.RingLength(8000);
            Check(false, "8000 Hz is below the analysis rate");
        } catch (Vocetta.VocettaException) {
        }

        // A bad profile names its origin and the member.
        try {
            Vocetta.Profile.Parse(File.ReadAllText(arguments[1]).Replace("\"means\"", "\"meanz\""), "bad.json");
            Check(false, "a profile without means loads");
        } catch (Vocetta.VocettaException error) {
            Check(error.Message.StartsWith("bad.json: means"), "message: " + error.Message);
        }

        SmootherWorkedByHand();
        LevelGateWorkedByHand();
        StreamAgainstTheTool(library, profile, samples, rate, File.ReadAllText(arguments[8]), false,
                             "stream");
        NoiseCleanerOnMadeUpSignals();
        int noisyRate;
        float[] noisy = Wav.Read(arguments[9], out noisyRate);
        StreamAgainstTheTool(library, profile, noisy, noisyRate, File.ReadAllText(arguments[10]), true,
                             "noisy stream, cleaned");
        LiveFramesLeaveNoGarbage(library, profile, samples, rate);
        CueBuildingWorkedByHand();
        MouthRestsInRoomNoise(library, profile);
        CuesAgainstTheTool(library, profile, noisy, noisyRate, true, Vocetta.ShapeSet.Cartoon,
                           arguments[9], File.ReadAllText(arguments[11]));
        CuesAgainstTheTool(library, profile, noisy, noisyRate, true, Vocetta.ShapeSet.Visemes,
                           arguments[9], File.ReadAllText(arguments[12]));
        CuesAgainstTheTool(library, profile, samples, rate, false, Vocetta.ShapeSet.Cartoon,
                           arguments[2], File.ReadAllText(arguments[13]));
        CurvesAgainstTheTool(library, profile, noisy, noisyRate, true, Vocetta.ShapeSet.Cartoon, 24,
                             arguments[9], File.ReadAllText(arguments[14]), false);
        CurvesAgainstTheTool(library, profile, samples, rate, false, Vocetta.ShapeSet.Visemes, 30,
                             arguments[2], File.ReadAllText(arguments[15]), true);
        RigAgainstTheTool(library, profile, samples, rate, arguments[2], arguments[22],
                          File.ReadAllText(arguments[23]), File.ReadAllText(arguments[24]));
        AdaptationAgainstTheTool(library, profile, File.ReadAllText(arguments[1]), samples, rate,
                                 Vocetta.Profile.Load(arguments[16]));
        TranscriptAgainstTheTool(library, profile, samples, rate, noisy, noisyRate, arguments[9],
                                 File.ReadAllText(arguments[18]), File.ReadAllText(arguments[19]));
        PhonesAgainstTheTool(library, profile, noisy, noisyRate, File.ReadAllText(arguments[20]),
                             File.ReadAllText(arguments[21]));
        MouthOnWorkedScores(profile);
        MouthFollowsAStep(profile);
        MouthDips(profile);
        MouthMaps(File.ReadAllText(arguments[1]));
        // The tool's cues rest the mouth where its labels of the whole line say silence.
        bool[] silence = Rows(File.ReadAllText(arguments[17])).Skip(1)
                             .Select(fields => fields[1] == "sil").ToArray();
        foreach (var set in new[] {Vocetta.ShapeSet.Cartoon, Vocetta.ShapeSet.Visemes}) {
            string keyframes = File.ReadAllText(arguments[set == Vocetta.ShapeSet.Cartoon ? 6 : 7]);
            MouthAgainstTheTool(library, profile, samples, rate, set, keyframes, silence);
        }

        Console.WriteLine(failures == 0 ? "all passed" : failures + " failed");
        return failures == 0 ? 0 : 1;
    }
}
