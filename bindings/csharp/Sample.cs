// A console host: analyses a 16-bit PCM WAV file through Vocetta.cs and prints one CSV row per
// frame, as `vocetta analyze --keep-noise --no-smoothing --silence DB` does: the block's centre
// time, the phoneme (sil below the gate or where the job scored nothing), the volume and every
// score.
// With a shape set (cartoon or visemes) it drives a mouth instead, as an engine would, and
// prints per frame the shape to show, the jaw opening and every shape's weight.
//
//     mono vocetta-sample.exe LIBRARY PROFILE RECORDING.wav [HOP_MS [SILENCE_DB [SHAPES]]]
using System;
using System.Globalization;
using System.IO;
using System.Text;

static class Sample {
    static int Main(string[] arguments) {
        if (arguments.Length < 3) {
            Console.Error.WriteLine("usage: vocetta-sample LIBRARY PROFILE RECORDING.wav " +
                                    "[HOP_MS [SILENCE_DB [SHAPES]]]");
            return 2;
        }
        try {
            var culture = CultureInfo.InvariantCulture;
            double hopMs = arguments.Length > 3 ? double.Parse(arguments[3], culture) : 10.0;
            double silenceDb = arguments.Length > 4 ? double.Parse(arguments[4], culture) : -40.0;
            var library = Vocetta.Library.Open(arguments[0]);
            var profile = Vocetta.Profile.Load(arguments[1]);
            int sampleRate;
            float[] samples = Wav.Read(arguments[2], out sampleRate);
            if (arguments.Length > 5) {
                var set = Vocetta.Shapes.Parse(arguments[5]);
                Console.Out.Write(Mouth(library, profile, samples, sampleRate, hopMs, set,
                                        new Vocetta.MouthSettings {
                                            SilenceVolume = (float)Math.Pow(10.0, silenceDb / 20.0),
                                            LoudVolume = (float)Math.Pow(10.0, silenceDb / 20.0) *
                                                         Vocetta.MouthShapes.LoudOverSilence}));
            } else {
                Console.Out.Write(Analyze(library, profile, samples, sampleRate, hopMs, silenceDb));
            }
            return 0;
        } catch (Vocetta.VocettaException error) {
            Console.Error.WriteLine("vocetta-sample: " + error.Message);
            return 1;
        }
    }

    public static string Analyze(Vocetta.Library library, Vocetta.Profile profile, float[] samples,
                                 int sampleRate, double hopMs, double silenceDb,
                                 string buildSuffix = "") {
        var culture = CultureInfo.InvariantCulture;
        float gate = (float)Math.Pow(10.0, silenceDb / 20.0);
        int hop = Math.Max(1, (int)Math.Round(hopMs / 1000.0 * sampleRate,
                                              MidpointRounding.AwayFromZero));
        var text = new StringBuilder("time,phoneme,volume," + string.Join(",", profile.Names) + "\n");
        Action<Vocetta.Frame> write = frame => {
            bool silent = !(frame.Volume >= gate) || frame.Best < 0 || !(frame.Scores[frame.Best] > 0);
            string name = silent ? "sil" : profile.Names[frame.Best];
            text.Append(frame.Time.ToString("R", culture)).Append(',').Append(name).Append(',');
            text.Append(frame.Volume.ToString("R", culture));
            foreach (float score in frame.Scores) text.Append(',').Append(score.ToString("R", culture));
            text.Append('\n');
        };
        using (var analyzer = new Vocetta.Analyzer(library, profile, sampleRate, hop, buildSuffix)) {
            analyzer.Push(samples, samples.Length, write);
            analyzer.Finish(write);
        }
        return text.ToString();
    }

    // A mouth over the recording, frame by frame: time, shape shown, jaw, every shape's weight.
    public static string Mouth(Vocetta.Library library, Vocetta.Profile profile, float[] samples,
                               int sampleRate, double hopMs, Vocetta.ShapeSet set,
                               Vocetta.MouthSettings settings = null, bool[] silence = null) {
        var culture = CultureInfo.InvariantCulture;
        int hop = Math.Max(1, (int)Math.Round(hopMs / 1000.0 * sampleRate,
                                              MidpointRounding.AwayFromZero));
        var mouth = new Vocetta.MouthShapes(profile, set, settings);
        double elapsed = (double)hop / sampleRate;
        var text = new StringBuilder("time,shape,jaw," + string.Join(",", mouth.ShapeNames) + "\n");
        int index = 0;  // `silence`: the frames, in order, that a line's labels call silence
        Action<Vocetta.Frame> write = frame => {
            mouth.Update(frame, elapsed, silence != null && index < silence.Length && silence[index]);
            ++index;
            text.Append(frame.Time.ToString("R", culture)).Append(',').Append(mouth.DominantName);
            text.Append(',').Append(mouth.Jaw.ToString("R", culture));
            foreach (float weight in mouth.Weights) text.Append(',').Append(weight.ToString("R", culture));
            text.Append('\n');
        };
        using (var analyzer = new Vocetta.Analyzer(library, profile, sampleRate, hop)) {
            analyzer.Push(samples, samples.Length, write);
            analyzer.Finish(write);
        }
        return text.ToString();
    }
}

// 16-bit PCM WAV, channels mixed to mono as the tool mixes them.
static class Wav {
    public static float[] Read(string path, out int sampleRate) {
        byte[] bytes;
        try {
            bytes = File.ReadAllBytes(path);
        } catch (Exception error) {
            throw new Vocetta.VocettaException(path + ": cannot read: " + error.Message);
        }
        if (bytes.Length < 12 || Encoding.ASCII.GetString(bytes, 0, 4) != "RIFF" ||
            Encoding.ASCII.GetString(bytes, 8, 4) != "WAVE") {
            throw new Vocetta.VocettaException(path + ": not a WAV file");
        }
        int channels = 0, bits = 0;
        sampleRate = 0;
        for (int at = 12; at + 8 <= bytes.Length;) {
            string id = Encoding.ASCII.GetString(bytes, at, 4);
            int size = BitConverter.ToInt32(bytes, at + 4);
            int body = at + 8;
            if (id == "fmt " && size >= 16) {
                if (BitConverter.ToInt16(bytes, body) != 1) break;
                channels = BitConverter.ToInt16(bytes, body + 2);
                sampleRate = BitConverter.ToInt32(bytes, body + 4);
                bits = BitConverter.ToInt16(bytes, body + 14);
            } else if (id == "data" && channels > 0 && bits == 16) {
                int frames = Math.Min(size, bytes.Length - body) / (2 * channels);
                var samples = new float[frames];
                for (int i = 0; i < frames; ++i) {
                    float sum = 0;
                    for (int c = 0; c < channels; ++c)
                        sum += BitConverter.ToInt16(bytes, body + 2 * (i * channels + c)) / 32768.0f;
                    samples[i] = channels == 1 ? sum : sum / channels;
                }
                if (frames == 0) throw new Vocetta.VocettaException(path + ": holds no audio");
                return samples;
            }
            at = body + size + (size & 1);
        }
        throw new Vocetta.VocettaException(path + ": not a 16-bit PCM WAV file");
    }
}
