// The C# host against the built library and the vocetta tool's own output.
//     mono vocetta-csharp-tests.exe LIBRARY PROFILE RECORDING.wav TOOL.csv SAMPLE.csv JOB_SYMBOL
// (JOB_SYMBOL: VOCETTA_SYMBOL_LIP_SYNC_JOB as the public header defines it)
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
        Check(perFrame.Count == (16000 - 256) / 160 + 1, "frames in the first second: " + perFrame.Count);
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
                                             "\"blockLength\": 256", "\"blockLength\": 1024"),
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

        Console.WriteLine(failures == 0 ? "all passed" : failures + " failed");
        return failures == 0 ? 0 : 1;
    }
}
