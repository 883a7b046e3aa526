// A C# host for libvocetta: loading and initialising the library, the three host services, a
// profile reader, the capture-ring rule, a streaming analyzer over the lip-sync job with an
// optional noise cleaner before it, live smoothing, speaker adaptation, mouth shapes, and the
// cues and curves of whole lines baked as the tool bakes them. One file, no dependencies beyond
// the base class library, so that it drops into a Unity or Godot project as it is (Linux
// x86-64; the library is looked up with dlopen).
//
//     var library = Vocetta.Library.Open("/usr/local/lib/libvocetta.so");
//     var profile = Vocetta.Profile.Load("voice.json");          // or Profile.Parse(text, name)
//     using (var analyzer = new Vocetta.Analyzer(library, profile, 48000, 480)) {
//         analyzer.Push(block, block.Length, frame => { ... frame.Best, frame.Scores ... });
//     }
using System;
using System.Collections.Generic;
using System.Globalization;
using System.Runtime.InteropServices;
using System.Text;
using System.Threading;

namespace Vocetta {

// The record layouts of vocetta.h, byte for byte.
[StructLayout(LayoutKind.Sequential)]
public struct NativeArray {
    public IntPtr Pointer;
    public int Length;
    public int AllocatorLabel;

    public const int LabelInvalid = 0, LabelNone = 1, LabelTemp = 2;

    public NativeArray(IntPtr pointer, int length) {
        Pointer = pointer;
        Length = length;
        AllocatorLabel = LabelNone;  // the host's memory: the library never releases it
    }
}

[StructLayout(LayoutKind.Sequential)]
public struct LipSyncResult {
    public float Volume;
    public int PhonemeIndex;
}

[StructLayout(LayoutKind.Sequential)]
public struct LipSyncJob {
    public NativeArray Input;
    public int StartIndex;
    public int SampleRate;
    public int TargetSampleRate;
    public int MelDiv;
    public int ScoreMethod;
    public NativeArray Means;
    public NativeArray StandardDeviations;
    public NativeArray PhonemeProfiles;
    public NativeArray Mfcc;
    public NativeArray Scores;
    public NativeArray Result;
}

// What the library raised through the abort service.
public class AbortException : Exception {
    public readonly string ExceptionType;
    public AbortException(string type, string message) : base(type + ": " + message) {
        ExceptionType = type;
    }
}

public class VocettaException : Exception {
    public VocettaException(string message) : base(message) {}
}

// The three services, as delegates that live as long as the process: the library keeps their
// addresses from initialisation on. Every call is counted, so that a host can see that each
// block the library took went back.
public static class HostServices {
    public const string MallocTrackedName =
        "Unity.Collections.LowLevel.Unsafe.UnsafeUtility::MallocTracked";
    public const string FreeTrackedName =
        "Unity.Collections.LowLevel.Unsafe.UnsafeUtility::FreeTracked";
    public const string AbortName = "duzuv_abort";

    [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
    public delegate IntPtr MallocTrackedFunction(long size, int alignment, int label, int last);
    [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
    public delegate void FreeTrackedFunction(IntPtr pointer, int label);
    [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
    public delegate void AbortFunction(IntPtr exceptionType, IntPtr message);
    [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
    public delegate IntPtr ResolverFunction(IntPtr name);

    static readonly MallocTrackedFunction malloc = MallocTracked;
    static readonly FreeTrackedFunction free = FreeTracked;
    static readonly AbortFunction abort = Abort;
    public static readonly ResolverFunction Resolver = Resolve;
    static readonly IntPtr mallocPointer = Marshal.GetFunctionPointerForDelegate(malloc);
    static readonly IntPtr freePointer = Marshal.GetFunctionPointerForDelegate(free);
    static readonly IntPtr abortPointer = Marshal.GetFunctionPointerForDelegate(abort);

    static long allocations, releases, live, badReleases;

    public static long Allocations { get { return Interlocked.Read(ref allocations); } }
    public static long Releases { get { return Interlocked.Read(ref releases); } }
    // Blocks handed out and not yet returned.
    public static long Live { get { return Interlocked.Read(ref live); } }
    // Releases of a null block or with a label other than the library's own.
    public static long BadReleases { get { return Interlocked.Read(ref badReleases); } }

    // The library asks for alignment 4; AllocHGlobal aligns to at least 8.
    static IntPtr MallocTracked(long size, int alignment, int label, int last) {
        Interlocked.Increment(ref allocations);
        Interlocked.Increment(ref live);
        return Marshal.AllocHGlobal(new IntPtr(Math.Max(size, 1)));
    }

    static void FreeTracked(IntPtr pointer, int label) {
        Interlocked.Increment(ref releases);
        if (pointer == IntPtr.Zero || label != NativeArray.LabelTemp) {
            Interlocked.Increment(ref badReleases);
            return;
        }
        Interlocked.Decrement(ref live);
        Marshal.FreeHGlobal(pointer);
    }

    // Raised only for a record whose view carries the invalid label, which this host's records
    // never do. The library has nothing to clean up after the call, so the exception may leave
    // through its frames where the runtime allows it.
    static void Abort(IntPtr exceptionType, IntPtr message) {
        throw new AbortException(Marshal.PtrToStringAnsi(exceptionType),
                                 Marshal.PtrToStringAnsi(message));
    }

    static IntPtr Resolve(IntPtr namePointer) {
        string name = Marshal.PtrToStringAnsi(namePointer);
        if (name == MallocTrackedName) return mallocPointer;
        if (name == FreeTrackedName) return freePointer;
        if (name == AbortName) return abortPointer;
        return IntPtr.Zero;
    }
}

// libvocetta, opened and initialised once for the process.
public sealed class Library {
    // The entries this host calls (VOCETTA_ENTRIES in vocetta.h).
    public const string InitializeSymbol = "duzuv.initialize";
    public const string LipSyncJobExecuteSymbol = "c5a316b7c86bb17f6511d5c3a58d2180";
    // The builds' symbol suffixes (VOCETTA_BUILDS).
    public const string Sse2Suffix = "_x64_sse2", Avx2Suffix = "_avx2";

    [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
    delegate void InitializeFunction(IntPtr resolver);
    [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
    public delegate void LipSyncExecuteFunction(IntPtr job);

    const int RTLD_NOW = 2;
    [DllImport("libdl.so.2")] static extern IntPtr dlopen(string path, int mode);
    [DllImport("libdl.so.2")] static extern IntPtr dlsym(IntPtr handle, string name);
    [DllImport("libdl.so.2")] static extern IntPtr dlerror();

    static readonly object guard = new object();
    static Library opened;

    readonly IntPtr handle;
    public readonly string Path;

    Library(string path, IntPtr handle) {
        Path = path;
        this.handle = handle;
    }

    // The library at `path`, initialised with HostServices on the first call; later calls must
    // name the same file.
    public static Library Open(string path) {
        lock (guard) {
            if (opened != null) {
                if (opened.Path != path) {
                    throw new VocettaException(path + ": this process already uses " + opened.Path);
                }
                return opened;
            }
            IntPtr handle = dlopen(path, RTLD_NOW);
            if (handle == IntPtr.Zero) {
                throw new VocettaException(path + ": cannot load: " +
                                           Marshal.PtrToStringAnsi(dlerror()));
            }
            var library = new Library(path, handle);
            var initialize = library.Function<InitializeFunction>(InitializeSymbol);
            initialize(Marshal.GetFunctionPointerForDelegate(HostServices.Resolver));
            opened = library;
            return library;
        }
    }

    public IntPtr Symbol(string name) {
        return dlsym(handle, name);
    }

    public T Function<T>(string symbol) where T : class {
        IntPtr address = Symbol(symbol);
        if (address == IntPtr.Zero) {
            throw new VocettaException(Path + ": has no entry " + symbol);
        }
        return Marshal.GetDelegateForFunctionPointer(address, typeof(T)) as T;
    }

    // The lip-sync job: the library's own choice of build, or one build's (suffix) directly.
    public LipSyncExecuteFunction LipSyncExecute(string suffix = "") {
        return Function<LipSyncExecuteFunction>(LipSyncJobExecuteSymbol + suffix);
    }
}

// A profile file (docs/profile-format.md, versions 1 and 2), read as the SDK reads it.
public sealed class Profile {
    public int TargetSampleRate, MelChannels, Coefficients, BlockLength, ScoreMethod;
    public bool FoldMaximum;  // "folding": "Maximum" (else the references' scores are added)
    public float[] Means, StandardDeviations;
    // The mean MFCC vector of the calibration voices' speech (version 2), null when the profile
    // has none: what speaker adaptation (Adapt, SpeakerEstimate) moves the references from.
    public float[] SpeakerMeans;
    public string[] Names;
    public float[][][] References;  // phoneme, reference, coefficient
    // Per phoneme, its "shapes" (set name -> shape name -> weight), null when it names none; the
    // mouth (MouthShapes) checks them against the sets.
    public SortedDictionary<string, SortedDictionary<string, float>>[] Shapes;
    public string Origin;  // the file, or the name Parse was given, for messages

    static readonly string[] ScoreMethods = {"MeanAbsoluteDistance", "RootMeanSquareDistance",
                                             "CosineSimilarity"};

    public static Profile Load(string path) { return Parse(ReadFile(path), path); }

    // A file's text; VocettaException naming it when it cannot be read.
    internal static string ReadFile(string path) {
        try {
            return System.IO.File.ReadAllText(path);
        } catch (Exception error) {
            throw new VocettaException(path + ": cannot read: " + error.Message);
        }
    }

    public static Profile Parse(string text, string origin) {
        object root;
        try {
            root = new Json(text).ReadDocument();
        } catch (FormatException error) {
            throw new VocettaException(origin + ": not JSON: " + error.Message);
        }
        var reader = new Reader(origin);
        var top = reader.Object(root, "");
        if (reader.Text(top, "format", "") != "vocetta-profile") {
            throw new VocettaException(origin + ": format: not a vocetta profile");
        }
        int version = reader.Integer(top, "version", "");
        if (version != 1 && version != 2) {
            throw new VocettaException(origin + ": version: " + version + " is not 1 or 2");
        }
        var profile = new Profile {Origin = origin};
        var analysis = reader.Object(reader.Member(top, "analysis", ""), "analysis");
        profile.TargetSampleRate = reader.Integer(analysis, "targetSampleRate", "analysis");
        profile.MelChannels = reader.Integer(analysis, "melChannels", "analysis");
        profile.Coefficients = reader.Integer(analysis, "coefficients", "analysis");
        profile.BlockLength = reader.Integer(analysis, "blockLength", "analysis");
        profile.ScoreMethod =
            Array.IndexOf(ScoreMethods, reader.Text(analysis, "scoreMethod", "analysis"));
        if (profile.ScoreMethod < 0) reader.Fail("analysis.scoreMethod", "unknown score method");
        if (analysis.ContainsKey("folding")) {
            string folding = reader.Text(analysis, "folding", "analysis");
            if (folding != "Sum" && folding != "Maximum") {
                reader.Fail("analysis.folding", "must be Sum or Maximum");
            }
            profile.FoldMaximum = folding == "Maximum";
        }
        int m = profile.Coefficients;
        if (m < 1 || m >= profile.MelChannels) {
            reader.Fail("analysis.coefficients", "must be 1 ... melChannels - 1");
        }
        if (profile.BlockLength < 64 || (profile.BlockLength & (profile.BlockLength - 1)) != 0) {
            reader.Fail("analysis.blockLength", "must be a power of two, 64 or more");
        }
        profile.Means = reader.Numbers(top, "means", "", m);
        profile.StandardDeviations = reader.Numbers(top, "standardDeviations", "", m);
        foreach (float deviation in profile.StandardDeviations) {
            if (!(deviation > 0)) reader.Fail("standardDeviations", "must be greater than 0");
        }
        if (version == 2 && top.ContainsKey("speakerMeans"))
            profile.SpeakerMeans = reader.Numbers(top, "speakerMeans", "", m);
        var phonemes = reader.List(reader.Member(top, "phonemes", ""), "phonemes");
        if (phonemes.Count == 0) reader.Fail("phonemes", "must name at least one phoneme");
        profile.Names = new string[phonemes.Count];
        profile.References = new float[phonemes.Count][][];
        profile.Shapes = new SortedDictionary<string, SortedDictionary<string, float>>[phonemes.Count];
        for (int p = 0; p < phonemes.Count; ++p) {
            string where = "phonemes[" + p + "]";
            var entry = reader.Object(phonemes[p], where);
            profile.Names[p] = reader.Text(entry, "name", where);
            if (entry.ContainsKey("references")) {
                var rows = reader.List(entry["references"], where + ".references");
                profile.References[p] = new float[rows.Count][];
                for (int r = 0; r < rows.Count; ++r) {
                    profile.References[p][r] =
                        reader.Numbers(rows[r], where + ".references[" + r + "]", m);
                }
            } else {
                profile.References[p] =
                    new[] {reader.Numbers(reader.Member(entry, "reference", where),
                                          where + ".reference", m)};
            }
            if (entry.ContainsKey("shapes")) profile.Shapes[p] = reader.Shapes(entry["shapes"], where);
        }
        return profile;
    }

    public int ReferenceCount {
        get {
            int count = 0;
            foreach (var rows in References) count += rows.Length;
            return count;
        }
    }

    // This profile for a speaker whose speech frames average `speakerMean` (the host SDK's
    // AdaptProfile): every reference of every phoneme but sil moves by speakerMean -
    // SpeakerMeans, in single precision, and SpeakerMeans becomes speakerMean. Silence is the
    // room, not the speaker. VocettaException without SpeakerMeans (`vocetta adapt --anchor`
    // gives a profile some) or for a mean that is not one finite value per coefficient.
    public Profile Adapt(float[] speakerMean) {
        NeedSpeakerMeans("adaptation");
        if (speakerMean == null || speakerMean.Length != SpeakerMeans.Length) {
            throw new VocettaException(Origin + ": adaptation: the speaker's mean must hold " +
                                       SpeakerMeans.Length + " values, one per coefficient");
        }
        var shift = new float[speakerMean.Length];
        for (int i = 0; i < shift.Length; ++i) {
            if (float.IsNaN(speakerMean[i]) || float.IsInfinity(speakerMean[i])) {
                throw new VocettaException(Origin + ": adaptation: the speaker's mean [" + i +
                                           "] is not finite");
            }
            shift[i] = speakerMean[i] - SpeakerMeans[i];
        }
        var adapted = (Profile)MemberwiseClone();
        adapted.SpeakerMeans = (float[])speakerMean.Clone();
        adapted.References = new float[References.Length][][];
        for (int p = 0; p < References.Length; ++p) {
            adapted.References[p] = new float[References[p].Length][];
            for (int r = 0; r < References[p].Length; ++r) {
                var row = (float[])References[p][r].Clone();
                if (Names[p] != "sil") {
                    for (int i = 0; i < row.Length; ++i) row[i] = row[i] + shift[i];
                }
                adapted.References[p][r] = row;
            }
        }
        return adapted;
    }

    internal void NeedSpeakerMeans(string what) {
        if (SpeakerMeans == null) {
            throw new VocettaException(Origin + ": " + what + ": the profile has no speakerMeans " +
                                       "(calibrate it again, or give it the mean of its " +
                                       "calibration voices with `vocetta adapt --anchor`)");
        }
    }

    // Every reference is one row of the job's phonemeProfiles, in phoneme order.
    public float[] ReferenceRows() {
        var rows = new List<float>();
        foreach (var phoneme in References)
            foreach (var row in phoneme) rows.AddRange(row);
        return rows.ToArray();
    }

    // One score per phoneme from the job's scores of every reference row; returns the best
    // phoneme as the job picks its best row (strictly greater wins), -1 without phonemes.
    public int FoldScores(float[] rowScores, float[] phonemeScores) {
        int row = 0;
        float total = 0;
        for (int p = 0; p < References.Length; ++p) {
            int count = References[p].Length;
            float folded = count == 0 ? 0.0f : rowScores[row];
            for (int r = 1; r < count; ++r) {
                folded = FoldMaximum ? Math.Max(folded, rowScores[row + r])
                                     : folded + rowScores[row + r];
            }
            phonemeScores[p] = folded;
            total += folded;
            row += count;
        }
        if (FoldMaximum) {
            for (int p = 0; p < References.Length; ++p)
                phonemeScores[p] = total > 0 ? phonemeScores[p] / total : 0.0f;
        }
        int best = -1;
        float bestScore = -1.0f;
        for (int p = 0; p < References.Length; ++p) {
            if (phonemeScores[p] > bestScore) {
                best = p;
                bestScore = phonemeScores[p];
            }
        }
        return best;
    }

    // The capture-ring length L at `sampleRate` for which the job's down-sampler yields exactly
    // the block length at the analysis rate.
    public int RingLength(int sampleRate) {
        int target = TargetSampleRate, block = BlockLength;
        if (sampleRate < target) {
            throw new VocettaException("sample rate " + sampleRate + " Hz is below the profile's " +
                                       "analysis rate of " + target + " Hz (the job does not " +
                                       "up-sample)");
        }
        if (sampleRate % target == 0) return checked(block * (sampleRate / target));
        long guess = (long)Math.Round((double)block * sampleRate / target,
                                      MidpointRounding.AwayFromZero);
        for (long offset = 0; offset <= 4; ++offset) {
            foreach (long candidate in new[] {guess - offset, guess + offset}) {
                if (candidate > 0 && InterpolatedLength((int)candidate, sampleRate, target) == block)
                    return (int)candidate;
            }
        }
        throw new VocettaException("sample rate " + sampleRate + " Hz gives no block that " +
                                   "resamples to " + block + " samples at " + target + " Hz");
    }

    // The down-sampler's output length for a fractional ratio, in single precision as it runs.
    static int InterpolatedLength(int length, int sampleRate, int targetRate) {
        float ratio = (float)sampleRate / (float)targetRate;
        float quotient = (float)((float)length / ratio);
        return (int)Math.Round(quotient, MidpointRounding.ToEven);
    }

    internal sealed class Reader {
        readonly string origin;
        public Reader(string origin) { this.origin = origin; }

        public void Fail(string where, string problem) {
            throw new VocettaException(origin + ": " + where + ": " + problem);
        }

        static string Join(string where, string key) {
            return where.Length == 0 ? key : where + "." + key;
        }

        public object Member(Dictionary<string, object> parent, string key, string where) {
            object value;
            if (!parent.TryGetValue(key, out value)) Fail(Join(where, key), "missing");
            return value;
        }

        public Dictionary<string, object> Object(object value, string where) {
            var result = value as Dictionary<string, object>;
            if (result == null) Fail(where.Length == 0 ? "the document" : where, "must be an object");
            return result;
        }

        public List<object> List(object value, string where) {
            var result = value as List<object>;
            if (result == null) Fail(where, "must be an array");
            return result;
        }

        public string Text(Dictionary<string, object> parent, string key, string where) {
            var text = Member(parent, key, where) as string;
            if (text == null || text.Length == 0) Fail(Join(where, key), "must be a non-empty string");
            return text;
        }

        public int Integer(Dictionary<string, object> parent, string key, string where) {
            object value = Member(parent, key, where);
            if (!(value is double) || (double)value != Math.Floor((double)value) ||
                Math.Abs((double)value) > int.MaxValue) {
                Fail(Join(where, key), "must be a whole number");
            }
            return (int)(double)value;
        }

        public float[] Numbers(Dictionary<string, object> parent, string key, string where, int count,
                               string counted = "the coefficient count") {
            return Numbers(Member(parent, key, where), Join(where, key), count, counted);
        }

        public float[] Numbers(object value, string where, int count,
                               string counted = "the coefficient count") {
            var items = List(value, where);
            if (items.Count != count) Fail(where, "must hold " + count + " numbers (" + counted + ")");
            var numbers = new float[count];
            for (int i = 0; i < count; ++i) {
                if (!(items[i] is double)) Fail(where + "[" + i + "]", "must be a number");
                numbers[i] = (float)(double)items[i];
                if (float.IsInfinity(numbers[i]) || float.IsNaN(numbers[i])) {
                    Fail(where + "[" + i + "]", "must be a finite single-precision number");
                }
            }
            return numbers;
        }

        // A phoneme's "shapes": set name -> shape name -> weight (finite, 0 or more).
        public SortedDictionary<string, SortedDictionary<string, float>> Shapes(object value,
                                                                              string where) {
            var sets = new SortedDictionary<string, SortedDictionary<string, float>>(
                StringComparer.Ordinal);
            foreach (var set in Object(value, where + ".shapes")) {
                string path = where + ".shapes." + set.Key;
                if (set.Key.Length == 0) Fail(where + ".shapes", "a shape set has an empty name");
                var weights = set.Value as Dictionary<string, object>;
                if (weights == null) Fail(path, "must be an object of shape names and weights");
                var into = new SortedDictionary<string, float>(StringComparer.Ordinal);
                foreach (var shape in weights) {
                    if (shape.Key.Length == 0) Fail(path, "a shape has no name");
                    float weight = shape.Value is double ? (float)(double)shape.Value : float.NaN;
                    if (!(weight >= 0) || float.IsInfinity(weight)) {
                        Fail(path + "." + shape.Key, "must be a finite weight of 0 or more");
                    }
                    into[shape.Key] = weight;
                }
                sets[set.Key] = into;
            }
            return sets;
        }
    }

    // An object's members, and their names in the order the text gives them (a rig's curves).
    internal sealed class JsonObject : Dictionary<string, object> {
        public readonly List<string> Order = new List<string>();
    }

    // Just enough JSON for profiles and cue files: objects, arrays, strings, numbers, true,
    // false, null.
    internal sealed class Json {
        readonly string text;
        int at;
        public Json(string text) { this.text = text; }

        public object ReadDocument() {
            object value = Value();
            Space();
            if (at != text.Length) throw Error("text after the document");
            return value;
        }

        FormatException Error(string what) {
            return new FormatException(what + " at character " + at);
        }

        void Space() {
            while (at < text.Length && char.IsWhiteSpace(text[at])) ++at;
        }

        object Value() {
            Space();
            if (at >= text.Length) throw Error("unexpected end");
            char c = text[at];
            if (c == '{') {
                ++at;
                var result = new JsonObject();
                Space();
                if (Peek('}')) return result;
                do {
                    Space();
                    string key = String();
                    Space();
                    Expect(':');
                    if (!result.ContainsKey(key)) result.Order.Add(key);
                    result[key] = Value();
                    Space();
                } while (Peek(','));
                Expect('}');
                return result;
            }
            if (c == '[') {
                ++at;
                var result = new List<object>();
                Space();
                if (Peek(']')) return result;
                do {
                    result.Add(Value());
                    Space();
                } while (Peek(','));
                Expect(']');
                return result;
            }
            if (c == '"') return String();
            foreach (var word in new[] {"true", "false", "null"}) {
                if (string.CompareOrdinal(text, at, word, 0, word.Length) == 0) {
                    at += word.Length;
                    return word == "null" ? null : (object)(word == "true");
                }
            }
            int start = at;
            while (at < text.Length && "+-0123456789.eE".IndexOf(text[at]) >= 0) ++at;
            double number;
            if (!double.TryParse(text.Substring(start, at - start), NumberStyles.Float,
                                 CultureInfo.InvariantCulture, out number)) {
                throw Error("not a value");
            }
            return number;
        }

        bool Peek(char c) {
            if (at < text.Length && text[at] == c) {
                ++at;
                return true;
            }
            return false;
        }

        void Expect(char c) {
            if (!Peek(c)) throw Error("expected '" + c + "'");
        }

        string String() {
            Expect('"');
            var result = new StringBuilder();
            while (at < text.Length && text[at] != '"') {
                char c = text[at++];
                if (c != '\\') {
                    result.Append(c);
                    continue;
                }
                if (at >= text.Length) break;
                char escape = text[at++];
                switch (escape) {
                    case 'n': result.Append('\n'); break;
                    case 't': result.Append('\t'); break;
                    case 'r': result.Append('\r'); break;
                    case 'b': result.Append('\b'); break;
                    case 'f': result.Append('\f'); break;
                    case 'u':
                        if (at + 4 > text.Length) throw Error("short \\u escape");
                        result.Append((char)int.Parse(text.Substring(at, 4), NumberStyles.HexNumber));
                        at += 4;
                        break;
                    default: result.Append(escape); break;
                }
            }
            Expect('"');
            return result.ToString();
        }
    }
}

// One analysed block.
public struct Frame {
    public long End;        // one past the newest sample analysed, counted from the first pushed
    public double Time;     // seconds from the first pushed sample to the centre of the block
    public float Volume;    // the job's RMS of the block
    public int Best;        // the best phoneme, -1 when none
    public float[] Scores;  // one per phoneme (the analyzer's own array: copy to keep)
    public float[] Mfcc;    // the profile's coefficient count (likewise)
}

// A streaming analyzer: push captured samples in blocks of any size; each time the newest
// samples complete a frame, the job runs over the latest L samples (the capture ring: sample i of
// the stream lives at index i mod L) and the frame is handed over at once. The first frame ends
// at sample L, the next ones every `hop` samples after that. The job record and every array it
// names live in unmanaged memory that the garbage collector never moves; Dispose releases them.
// With `cleanNoise` the samples go through a NoiseCleaner first, as `vocetta analyze -` reads a
// stream: the frames keep their times, and each comes the cleaner's latency (32 ms) later.
public sealed class Analyzer : IDisposable {
    readonly Library.LipSyncExecuteFunction execute;
    readonly Profile profile;
    readonly int ringLength, hop, rows;
    readonly IntPtr job, ring, means, deviations, profiles, mfcc, scores, result;
    readonly float[] rowScores, phonemeScores, coefficients;
    // The result's volume is read through this rather than as a LipSyncResult structure, and the
    // start index's offset is looked up once: a frame then leaves nothing for the garbage
    // collector, whose pauses an engine's audio thread cannot afford.
    readonly float[] volume = new float[1];
    readonly int startIndexOffset = (int)Marshal.OffsetOf(typeof(LipSyncJob), "StartIndex");
    readonly int volumeOffset = (int)Marshal.OffsetOf(typeof(LipSyncResult), "Volume");
    readonly int sampleRate;
    readonly NoiseCleaner cleaner;
    readonly List<float> cleaned = new List<float>();
    float[] cleanedBlock = new float[0];
    int write;
    long given, pushed, nextEnd, frames;  // pushed: samples that reached the ring
    bool disposed;

    public Analyzer(Library library, Profile profile, int sampleRate, int hopSamples,
                    string buildSuffix = "", bool cleanNoise = false) {
        if (cleanNoise) cleaner = new NoiseCleaner(sampleRate);
        execute = library.LipSyncExecute(buildSuffix);
        this.profile = profile;
        this.sampleRate = sampleRate;
        ringLength = profile.RingLength(sampleRate);
        hop = Math.Max(1, hopSamples);
        nextEnd = ringLength;
        rows = profile.ReferenceCount;
        int m = profile.Coefficients;
        rowScores = new float[rows];
        phonemeScores = new float[profile.Names.Length];
        coefficients = new float[m];
        ring = Floats(new float[ringLength]);
        means = Floats(profile.Means);
        deviations = Floats(profile.StandardDeviations);
        profiles = Floats(profile.ReferenceRows());
        mfcc = Floats(coefficients);
        scores = Floats(rowScores);
        result = Marshal.AllocHGlobal(Marshal.SizeOf(typeof(LipSyncResult)));
        var record = new LipSyncJob {
            Input = new NativeArray(ring, ringLength),
            SampleRate = sampleRate,
            TargetSampleRate = profile.TargetSampleRate,
            MelDiv = profile.MelChannels,
            ScoreMethod = profile.ScoreMethod,
            Means = new NativeArray(means, m),
            StandardDeviations = new NativeArray(deviations, m),
            PhonemeProfiles = new NativeArray(profiles, rows * m),
            Mfcc = new NativeArray(mfcc, m),
            Scores = new NativeArray(scores, rows),
            Result = new NativeArray(result, 1),
        };
        job = Marshal.AllocHGlobal(Marshal.SizeOf(typeof(LipSyncJob)));
        Marshal.StructureToPtr(record, job, false);
    }

    public int RingLength { get { return ringLength; } }
    public int Hop { get { return hop; } }
    public int SampleRate { get { return sampleRate; } }
    // Samples pushed, whether or not the cleaner has let them through yet.
    public long Pushed { get { return given; } }
    public long Frames { get { return frames; } }

    public void Push(float[] samples, int count, Action<Frame> onFrame) {
        if (disposed) throw new ObjectDisposedException("Analyzer");
        if (count < 0 || count > samples.Length) throw new ArgumentOutOfRangeException("count");
        given += count;
        if (cleaner == null) {
            Feed(samples, count, onFrame);
            return;
        }
        cleaned.Clear();
        cleaner.Push(samples, count, cleaned);
        FeedCleaned(onFrame);
    }

    // Ends the stream: one that never filled the ring is analysed once, padded with silence.
    public void Finish(Action<Frame> onFrame) {
        if (disposed) throw new ObjectDisposedException("Analyzer");
        if (cleaner != null) {
            cleaned.Clear();
            cleaner.Finish(cleaned);
            FeedCleaned(onFrame);
        }
        if (frames != 0 || pushed == 0) return;
        var silence = new float[nextEnd - pushed];
        Feed(silence, silence.Length, onFrame);
    }

    void FeedCleaned(Action<Frame> onFrame) {
        if (cleanedBlock.Length < cleaned.Count) cleanedBlock = new float[cleaned.Capacity];
        cleaned.CopyTo(cleanedBlock);
        Feed(cleanedBlock, cleaned.Count, onFrame);
    }

    void Feed(float[] samples, int count, Action<Frame> onFrame) {
        int from = 0;
        while (count > 0) {
            // Up to the next frame, the end of the ring or the end of the input.
            int run = (int)Math.Min(Math.Min(count, nextEnd - pushed), ringLength - write);
            Marshal.Copy(samples, from, ring + write * sizeof(float), run);
            from += run;
            count -= run;
            pushed += run;
            write += run;
            if (write == ringLength) write = 0;
            if (pushed == nextEnd) {
                Run(onFrame);
                nextEnd += hop;
            }
        }
    }

    void Run(Action<Frame> onFrame) {
        Marshal.WriteInt32(job, startIndexOffset, write);
        execute(job);
        ++frames;
        Marshal.Copy(scores, rowScores, 0, rows);
        Marshal.Copy(mfcc, coefficients, 0, coefficients.Length);
        Marshal.Copy(result + volumeOffset, volume, 0, 1);
        onFrame(new Frame {
            End = pushed,
            Time = (pushed - 0.5 * ringLength) / sampleRate,
            Volume = volume[0],
            Best = profile.FoldScores(rowScores, phonemeScores),
            Scores = phonemeScores,
            Mfcc = coefficients,
        });
    }

    static IntPtr Floats(float[] values) {
        IntPtr memory = Marshal.AllocHGlobal(Math.Max(values.Length, 1) * sizeof(float));
        Marshal.Copy(values, 0, memory, values.Length);
        return memory;
    }

    // Replaces the reference rows the job scores against (Profile.ReferenceRows of an adapted
    // profile), from the next frame on; between pushes, not inside a frame callback.
    public void SetReferenceRows(float[] rowValues) {
        if (disposed) throw new ObjectDisposedException("Analyzer");
        if (rowValues == null || rowValues.Length != rows * coefficients.Length) {
            throw new ArgumentException("the analyzer scores " + rows * coefficients.Length +
                                        " reference values, not " +
                                        (rowValues == null ? 0 : rowValues.Length));
        }
        Marshal.Copy(rowValues, 0, profiles, rowValues.Length);
    }

    public void Dispose() {
        if (disposed) return;
        disposed = true;
        foreach (IntPtr memory in new[] {job, ring, means, deviations, profiles, mfcc, scores, result})
            Marshal.FreeHGlobal(memory);
    }
}

// The running mean MFCC vector of one speaker's speech, for adapting a profile to a character as
// its lines play (the host SDK's SpeakerEstimate, the same arithmetic): the profile's
// SpeakerMeans weigh as PriorFrames frames (100, a second at 10 ms), and Offer counts a frame
// whose volume is within 20 dB of the loudest offered so far, which keeps pauses and noise out.
// Offer neither allocates nor locks; adapt between pushes, now and then:
//
//     var estimate = new Vocetta.SpeakerEstimate(profile);   // one per character
//     analyzer.Push(block, count, onFrame);                   // onFrame: estimate.Offer(frame)
//     if (++blocks % 100 == 0)
//         analyzer.SetReferenceRows(profile.Adapt(estimate.Mean()).ReferenceRows());
public sealed class SpeakerEstimate {
    public const double SpeechGateDb = -20.0;
    public const double DefaultPriorFrames = 100.0;
    static readonly double SpeechShare = Math.Pow(10.0, SpeechGateDb / 20.0);

    readonly double[] prior, sum;
    readonly double priorFrames;
    double frames;
    float loudest;

    public SpeakerEstimate(Profile profile, double priorFrames = DefaultPriorFrames) {
        profile.NeedSpeakerMeans("speaker estimate");
        if (!(priorFrames >= 0) || double.IsInfinity(priorFrames)) {
            throw new VocettaException("speaker estimate: the prior weight must be a finite " +
                                       "number of frames, 0 or more");
        }
        prior = new double[profile.SpeakerMeans.Length];
        for (int i = 0; i < prior.Length; ++i) prior[i] = profile.SpeakerMeans[i];
        sum = new double[prior.Length];
        this.priorFrames = priorFrames;
    }

    public double Frames { get { return frames; } }

    // Counts one frame the host has judged speech itself; a frame of the wrong length or with a
    // coefficient that is not finite (digital silence) is left out. Returns whether it counted.
    public bool Add(float[] mfcc) {
        if (mfcc == null || mfcc.Length != sum.Length) return false;
        foreach (float value in mfcc)
            if (float.IsNaN(value) || float.IsInfinity(value)) return false;
        for (int i = 0; i < sum.Length; ++i) sum[i] += mfcc[i];
        frames += 1;
        return true;
    }

    // For a live stream: counts the frame when its volume is within 20 dB of the loudest so far.
    public bool Offer(float[] mfcc, float volume) {
        if (!LevelGate.HasSound(volume)) return false;
        if (volume > loudest) loudest = volume;
        if (!(volume >= loudest * SpeechShare)) return false;
        return Add(mfcc);
    }

    public bool Offer(Frame frame) { return Offer(frame.Mfcc, frame.Volume); }

    // Back to the prior alone (a new character).
    public void Reset() {
        Array.Clear(sum, 0, sum.Length);
        frames = 0;
        loudest = 0;
    }

    public float[] Mean() {
        var mean = new float[sum.Length];
        double weight = priorFrames + frames;
        for (int i = 0; i < mean.Length; ++i)
            mean[i] = weight > 0 ? (float)((priorFrames * prior[i] + sum[i]) / weight)
                                 : (float)prior[i];
        return mean;
    }
}

// Taking steady background noise (hiss, hum, a fan, a room) out of captured audio before the job
// hears it, as the host SDK's NoiseCleaner does, value for value: in noise the vowels' frames go
// to silence and to each other. Spectral subtraction over frames of about 21 ms (the nearest power
// of two at the rate) at half-frame hops with a square-root Hann window on both sides; the noise
// in each bin is the mean power of the quietest tenth of the last 5 s of frames, and each bin keeps
// sqrt(max(1 - 3 x noise / power, 0.25^2)) of its amplitude, its power the mean over the frame and
// its neighbours. The cleaned samples come out in order and aligned with the input, fewer than
// Latency samples late (32 ms at 48 kHz); Finish gives the rest, as many in all as were pushed.
// It allocates only when constructed (and when `output` grows).
public sealed class NoiseCleanerSettings {
    public double Oversubtraction = 3.0;  // noise powers taken off each bin's
    public double Floor = 0.25;           // least share of a bin's amplitude kept
    public double QuietShare = 0.1;       // of the recent frames, those taken as noise
    public double MemorySeconds = 5.0;    // how far back the noise is looked for
    public bool LookAhead = true;         // each frame's power averaged with the next frame's too
}

public sealed class NoiseCleaner {
    const double FrameSeconds = 0.0213;
    const double LeastPower = 1e-30;  // a silent bin keeps its (zero) amplitude

    readonly NoiseCleanerSettings settings;
    readonly int length, hop, bins, memory;
    readonly double[] window, twiddleRe, twiddleIm, workRe, workIm, input;
    readonly int[] reversed;
    readonly double[] powers, energies, spectraRe, spectraIm, noise, heard, output;
    readonly long[] order;  // candidate frames, the quietest first once chosen
    int filled;
    long frames, pushed, emitted;
    int discard;

    public NoiseCleaner(int sampleRate, NoiseCleanerSettings settings = null) {
        this.settings = settings ?? new NoiseCleanerSettings();
        var s = this.settings;
        if (sampleRate < 1000) {
            throw new ArgumentOutOfRangeException("sampleRate", "at least 1000 Hz");
        }
        if (!(s.Oversubtraction >= 0) || !(s.Floor >= 0 && s.Floor <= 1) ||
            !(s.QuietShare > 0 && s.QuietShare <= 1) ||
            !(s.MemorySeconds > 0 && s.MemorySeconds <= 3600)) {
            throw new ArgumentException("NoiseCleaner: oversubtraction at least 0, floor 0 to 1, " +
                                        "quiet share above 0 up to 1, memory above 0 up to 3600 s");
        }
        int bits = (int)Math.Round(Math.Log(sampleRate * FrameSeconds) / Math.Log(2.0),
                                   MidpointRounding.AwayFromZero);
        length = 1 << bits;
        hop = length / 2;
        bins = length / 2 + 1;
        memory = (int)Math.Max(3L, (long)Math.Round(s.MemorySeconds * sampleRate / hop,
                                                     MidpointRounding.AwayFromZero));
        window = new double[length];
        for (int i = 0; i < length; ++i) {
            window[i] = Math.Sqrt(0.5 - 0.5 * Math.Cos(2 * Math.PI * i / length));
        }
        twiddleRe = new double[length / 2];
        twiddleIm = new double[length / 2];
        for (int k = 0; k < length / 2; ++k) {
            double angle = -2 * Math.PI * k / length;
            twiddleRe[k] = Math.Cos(angle);
            twiddleIm[k] = Math.Sin(angle);
        }
        reversed = new int[length];
        for (int i = 0; i < length; ++i) {
            int r = 0;
            for (int b = 0; b < bits; ++b) r |= ((i >> b) & 1) << (bits - 1 - b);
            reversed[i] = r;
        }
        workRe = new double[length];
        workIm = new double[length];
        input = new double[length + 1];  // a frame is taken as soon as one is there
        powers = new double[(long)memory * bins];
        energies = new double[memory];
        spectraRe = new double[2 * bins];  // the frame before the newest, the newest
        spectraIm = new double[2 * bins];
        noise = new double[bins];
        heard = new double[bins];
        output = new double[length];  // the overlap-add of the last frame
        order = new long[memory];
        Reset();
    }

    public int FrameLength { get { return length; } }
    public int Latency { get { return length + (settings.LookAhead ? hop : 0); } }

    // Samples that are not finite are taken as 0. Appends the cleaned samples known so far.
    public void Push(float[] samples, int count, List<float> cleaned) {
        if (count < 0 || count > samples.Length) throw new ArgumentOutOfRangeException("count");
        for (int i = 0; i < count; ++i) {
            float x = samples[i];
            input[filled++] = float.IsNaN(x) || float.IsInfinity(x) ? 0.0 : x;
            ++pushed;
            if (filled >= length) TakeFrame(cleaned);
        }
    }

    // Appends the samples still held back; afterwards the cleaner starts a new stream.
    public void Finish(List<float> cleaned) {
        // Two frames of zeros after the stream: every sample of it then lies in frames that are
        // taken, and the last of them has a (silent) frame after it.
        for (int i = 0; i < 2 * length; ++i) {
            input[filled++] = 0.0;
            if (filled >= length) TakeFrame(cleaned);
        }
        if (settings.LookAhead && frames > 0) {
            HeardAround(frames - 1, -1);  // the stream's last frame has none after it
            Synthesise(bins, cleaned);
        }
        Emit(cleaned, length - hop);
        Reset();
    }

    void Reset() {
        Array.Clear(input, 0, input.Length);
        filled = length;  // the stream starts half a frame into its first frame's reach
        Array.Clear(powers, 0, powers.Length);
        Array.Clear(output, 0, output.Length);
        frames = pushed = emitted = 0;
        discard = length;
    }

    void TakeFrame(List<float> cleaned) {
        for (int i = 0; i < length; ++i) {
            workRe[i] = input[i] * window[i];
            workIm[i] = 0.0;
        }
        Array.Copy(input, hop, input, 0, filled - hop);
        filled -= hop;
        Transform(false);
        long t = frames++;
        int power = (int)(t % memory) * bins;
        double energy = 0;
        for (int k = 0; k < bins; ++k) {
            powers[power + k] = workRe[k] * workRe[k] + workIm[k] * workIm[k];
            energy += powers[power + k];
        }
        energies[t % memory] = energy;
        // The frame before this one can be made now that this one's power is known.
        Array.Copy(spectraRe, bins, spectraRe, 0, bins);
        Array.Copy(spectraIm, bins, spectraIm, 0, bins);
        Array.Copy(workRe, 0, spectraRe, bins, bins);
        Array.Copy(workIm, 0, spectraIm, bins, bins);
        if (settings.LookAhead && t >= 1) {
            HeardAround(t - 1, power);
            Synthesise(0, cleaned);
        }
        // This frame's noise: the quietest share of the frames up to it (ties to the older),
        // summed oldest first.
        long first = t + 1 > memory ? t + 1 - memory : 0;
        int candidates = (int)(t + 1 - first);
        for (int f = 0; f < candidates; ++f) order[f] = first + f;
        int quiet = Math.Max(1, (int)(settings.QuietShare * candidates));
        SortOrder(candidates, true);
        SortOrder(quiet, false);
        Array.Clear(noise, 0, bins);
        for (int q = 0; q < quiet; ++q) {
            int p = (int)(order[q] % memory) * bins;
            for (int k = 0; k < bins; ++k) noise[k] += powers[p + k];
        }
        for (int k = 0; k < bins; ++k) noise[k] /= quiet;
        if (!settings.LookAhead) {
            Array.Copy(powers, power, heard, 0, bins);
            Synthesise(bins, cleaned);
        }
    }

    // Sorts order[0, count) by energy (ties to the older frame) or by frame alone. A heap sort of
    // its own, since Array.Sort allocates on every call under Mono; both orders are total, so
    // any sort gives the same result.
    void SortOrder(int count, bool byEnergy) {
        for (int root = count / 2 - 1; root >= 0; --root) SiftDown(root, count, byEnergy);
        for (int end = count - 1; end > 0; --end) {
            long top = order[0];
            order[0] = order[end];
            order[end] = top;
            SiftDown(0, end, byEnergy);
        }
    }

    void SiftDown(int root, int count, bool byEnergy) {
        for (int child = 2 * root + 1; child < count; root = child, child = 2 * root + 1) {
            if (child + 1 < count && Before(order[child], order[child + 1], byEnergy)) ++child;
            if (!Before(order[root], order[child], byEnergy)) return;
            long held = order[root];
            order[root] = order[child];
            order[child] = held;
        }
    }

    bool Before(long a, long b, bool byEnergy) {
        if (byEnergy) {
            double ea = energies[a % memory], eb = energies[b % memory];
            if (ea < eb) return true;
            if (ea > eb) return false;
        }
        return a < b;
    }

    // The power the gain of `frame` weighs against the noise: the mean of that frame's and its
    // two neighbours' (`after` the offset of the next one's, -1 for none), a missing one 0.
    void HeardAround(long frame, int after) {
        int before = frame >= 1 ? (int)((frame - 1) % memory) * bins : -1;
        int at = (int)(frame % memory) * bins;
        for (int k = 0; k < bins; ++k) {
            heard[k] = ((before >= 0 ? powers[before + k] : 0.0) + powers[at + k] +
                        (after >= 0 ? powers[after + k] : 0.0)) / 3.0;
        }
    }

    // Adds the cleaned frame (the spectrum at `spectrum` in the pair) into the overlap, whose
    // first hop is then final.
    void Synthesise(int spectrum, List<float> cleaned) {
        double least = settings.Floor * settings.Floor;
        for (int k = 0; k < bins; ++k) {
            double kept = 1.0 - settings.Oversubtraction * noise[k] / Math.Max(heard[k], LeastPower);
            double gain = Math.Sqrt(Math.Max(kept, least));
            workRe[k] = spectraRe[spectrum + k] * gain;
            workIm[k] = spectraIm[spectrum + k] * gain;
        }
        for (int k = 1; k + 1 < bins; ++k) {
            workRe[length - k] = workRe[k];
            workIm[length - k] = -workIm[k];
        }
        Transform(true);
        double scale = 1.0 / length;
        for (int i = 0; i < length; ++i) output[i] += workRe[i] * scale * window[i];
        Emit(cleaned, hop);
    }

    void Emit(List<float> cleaned, int count) {
        for (int i = 0; i < count; ++i) {
            if (discard > 0) {
                --discard;
            } else if (emitted < pushed) {
                cleaned.Add((float)output[i]);
                ++emitted;
            }
        }
        Array.Copy(output, count, output, 0, length - count);
        Array.Clear(output, length - count, count);
    }

    // An in-place radix-2 transform of work: forward, or inverse without the 1 / n.
    void Transform(bool inverse) {
        for (int i = 0; i < length; ++i) {
            int r = reversed[i];
            if (i < r) {
                double re = workRe[i], im = workIm[i];
                workRe[i] = workRe[r];
                workIm[i] = workIm[r];
                workRe[r] = re;
                workIm[r] = im;
            }
        }
        for (int half = 1; half < length; half *= 2) {
            int stride = length / (2 * half);
            for (int start = 0; start < length; start += 2 * half) {
                for (int k = 0; k < half; ++k) {
                    double wr = twiddleRe[k * stride];
                    double wi = inverse ? -twiddleIm[k * stride] : twiddleIm[k * stride];
                    int a = start + k, b = start + half + k;
                    double oddRe = workRe[b] * wr - workIm[b] * wi;
                    double oddIm = workRe[b] * wi + workIm[b] * wr;
                    workRe[b] = workRe[a] - oddRe;
                    workIm[b] = workIm[a] - oddIm;
                    workRe[a] += oddRe;
                    workIm[a] += oddIm;
                }
            }
        }
    }
}

// A silence gate that follows the speaker's level (the host SDK's LevelGate), as the tool gates a
// stream: 30 dB under the 95th percentile of the last 10 s of frame volumes, so that a quiet
// microphone is heard like a loud one. Frames of digital silence (volume 0) and volumes that are
// not finite are left out of the level. Update neither allocates nor locks:
//
//     var gate = new Vocetta.LevelGate(rate / (double)hop);
//     // every frame: silence below the gate
//     Vocetta.ViterbiSmoother.FrameRow(profile, frame, gate.Update(frame.Volume), row);
public sealed class LevelGate {
    readonly float[] recent;  // the window in arrival order, a ring from `oldest`
    readonly float[] sorted;  // its first `count` values: the same volumes, ascending
    readonly double percentile, factor;
    int oldest, count;
    float gate;

    public LevelGate(double framesPerSecond, double gateDb = -30.0, double percentile = 0.95,
                     double windowSeconds = 10.0) {
        if (!(framesPerSecond > 0 && framesPerSecond <= 1.0e6))
            throw new ArgumentOutOfRangeException("framesPerSecond");
        if (!(gateDb <= 0 && gateDb >= -200)) throw new ArgumentOutOfRangeException("gateDb");
        if (!(percentile >= 0 && percentile <= 1))
            throw new ArgumentOutOfRangeException("percentile");
        double frames = windowSeconds * framesPerSecond;
        if (!(frames >= 1 && frames <= 1.0e7)) throw new ArgumentOutOfRangeException("windowSeconds");
        recent = new float[(int)Math.Round(frames, MidpointRounding.AwayFromZero)];
        sorted = new float[recent.Length];
        this.percentile = percentile;
        factor = Math.Pow(10.0, gateDb / 20.0);
    }

    public int WindowFrames { get { return recent.Length; } }
    // The gate Update last returned: frames quieter than this volume are silence.
    public float Gate { get { return gate; } }

    // The level now: the percentile of the window's volumes (the rank a whole recording's gate
    // takes), 0 before any frame with sound.
    public float Level {
        get {
            if (count == 0) return 0.0f;
            return sorted[Rank(percentile, count)];
        }
    }

    // The gate of a whole recording (the tool's for a file): `gateDb` under the `percentile` of
    // its frame volumes with sound, what a window longer than the recording gives after its last
    // frame, found with one sort instead of a frame-by-frame insertion.
    public static float OfRecording(IList<float> volumes, double gateDb = -30.0,
                                    double percentile = 0.95) {
        var heard = new List<float>();
        foreach (float volume in volumes)
            if (HasSound(volume)) heard.Add(volume);
        if (heard.Count == 0) return 0.0f;
        heard.Sort();
        return (float)(heard[Rank(percentile, heard.Count)] * Math.Pow(10.0, gateDb / 20.0));
    }

    // Whether a frame's volume says anything of the level: finite and above 0 (not digital
    // silence).
    internal static bool HasSound(float volume) {
        return !float.IsNaN(volume) && !float.IsInfinity(volume) && volume > 0;
    }

    static int Rank(double percentile, int count) {
        return (int)(percentile * (count - 1) + 0.5);
    }

    // Takes one frame's volume into the level and returns the gate.
    public float Update(float volume) {
        if (!HasSound(volume)) return gate;
        if (count == recent.Length) {
            int leaving = LowerBound(recent[oldest]);
            Array.Copy(sorted, leaving + 1, sorted, leaving, count - leaving - 1);
            --count;
            recent[oldest] = volume;
            oldest = (oldest + 1) % recent.Length;
        } else {
            recent[(oldest + count) % recent.Length] = volume;
        }
        int at = UpperBound(volume);
        Array.Copy(sorted, at, sorted, at + 1, count - at);
        sorted[at] = volume;
        ++count;
        gate = (float)(Level * factor);
        return gate;
    }

    public void Reset() {
        oldest = count = 0;
        gate = 0.0f;
    }

    int LowerBound(float value) {  // the first sorted value not below `value`
        int low = 0, high = count;
        while (low < high) {
            int middle = (low + high) / 2;
            if (sorted[middle] < value) low = middle + 1;
            else high = middle;
        }
        return low;
    }

    int UpperBound(float value) {  // the first sorted value above `value`
        int low = 0, high = count;
        while (low < high) {
            int middle = (low + high) / 2;
            if (sorted[middle] <= value) low = middle + 1;
            else high = middle;
        }
        return low;
    }
}

// Smoothing in real time, as the tool labels a stream (the host SDK's ViterbiSmoother): the
// tool's Viterbi pass over the frames, a change of phoneme costing `switchCost` in log score, run
// one frame at a time and read `lag` frames late, so each answer is the phoneme the best path
// over every frame so far passes through there. Update neither allocates nor locks:
//
//     var smoother = new Vocetta.ViterbiSmoother(Vocetta.ViterbiSmoother.StateCount(profile));
//     var row = new float[smoother.States];
//     analyzer.Push(block, count, frame => {
//         Vocetta.ViterbiSmoother.FrameRow(profile, frame, gateVolume, row);
//         int phoneme = smoother.Update(row);  // of the frame two hops back
//     });
//
// With the gate of `vocetta analyze -` (a LevelGate with its defaults) and a lag of 20 ms in
// hops, the labels are the tool's stream labels. Without a lag the tool's switch cost is 1: the answer
// is then the best path's newest phoneme, and a dearer change holds every one of them back.
public sealed class ViterbiSmoother {
    public const float ImpossibleLogScore = -1.0e6f;

    readonly double[] total, next;
    readonly int[] from;  // the last `lag` frames' back-pointers, a ring
    readonly double switchCost;
    readonly int lag;
    int newest, seen;

    public ViterbiSmoother(int states, float switchCost = 2.0f, int lag = 2) {
        if (states < 0) throw new ArgumentOutOfRangeException("states");
        if (lag < 0) throw new ArgumentOutOfRangeException("lag");
        total = new double[states];
        next = new double[states];
        from = new int[lag * states];
        this.switchCost = switchCost;
        this.lag = lag;
    }

    public int States { get { return total.Length; } }
    public int Lag { get { return lag; } }

    // The log score the pass reads for a normalised score: the natural logarithm (the C
    // library's, as the tool's), with 0 and below floored at ImpossibleLogScore.
    public static float LogScore(float score) {
        return score > 0 ? Math.Max(MathF.Log(score), ImpossibleLogScore) : ImpossibleLogScore;
    }

    // The profile's phonemes, and one more state for silence when it has no "sil".
    public static int StateCount(Profile profile) {
        return profile.Names.Length + (Array.IndexOf(profile.Names, "sil") < 0 ? 1 : 0);
    }

    public static int SilenceIndex(Profile profile) {
        int silence = Array.IndexOf(profile.Names, "sil");
        return silence < 0 ? profile.Names.Length : silence;
    }

    // Whether a frame is silence: below `gateVolume`, or nothing scored.
    public static bool Silent(Profile profile, Frame frame, float gateVolume) {
        return !(frame.Volume >= gateVolume) || frame.Best < 0 ||
               frame.Best >= profile.Names.Length || !(frame.Scores[frame.Best] > 0);
    }

    // The tool's row for a frame (StateCount values): below `gateVolume`, or where the job scored
    // nothing, silence alone; otherwise each phoneme's LogScore.
    public static void FrameRow(Profile profile, Frame frame, float gateVolume, float[] row) {
        if (row == null || row.Length != StateCount(profile))
            throw new ArgumentException("a frame row of " + profile.Origin + " holds " +
                                        StateCount(profile) + " values", "row");
        FillRow(profile, frame, Silent(profile, frame, gateVolume), row);
    }

    // FrameRow's row once the frame's silence is known.
    internal static void FillRow(Profile profile, Frame frame, bool silent, float[] row) {
        int silence = SilenceIndex(profile);
        for (int s = 0; s < row.Length; ++s)
            row[s] = ImpossibleLogScore;
        if (silent) {
            row[silence] = 0.0f;
            return;
        }
        for (int p = 0; p < profile.Names.Length; ++p)
            row[p] = LogScore(frame.Scores[p]);
    }

    // One frame's row; returns the state of the frame `lag` updates back (of the first while
    // fewer have come) on the best path so far, -1 when there are no states.
    public int Update(float[] logScores) {
        if (!Advance(logScores)) return -1;
        return Settled(Math.Min(lag, seen - 1));
    }

    // Update without its answer, for a pass read once at the end (Path); false without states.
    internal bool Advance(float[] logScores) {
        int n = total.Length;
        if (logScores == null || logScores.Length < n)
            throw new ArgumentException("the smoother takes " + n + " log scores", "logScores");
        if (n == 0) return false;
        if (seen == 0) {
            for (int s = 0; s < n; ++s)
                total[s] = logScores[s];
        } else {
            int best = Best();
            double switched = total[best] - switchCost;
            if (lag != 0) newest = seen == 1 ? 0 : (newest + 1) % lag;
            for (int s = 0; s < n; ++s) {
                bool stay = total[s] >= switched;
                next[s] = (stay ? total[s] : switched) + logScores[s];
                if (lag != 0) from[newest * n + s] = stay ? s : best;
            }
            Array.Copy(next, total, n);
        }
        // Scores relative to the best keep their precision over a stream of any length.
        double top = total[Best()];
        if (!double.IsInfinity(top) && !double.IsNaN(top)) {
            for (int s = 0; s < n; ++s)
                total[s] -= top;
        }
        ++seen;
        return true;
    }

    // The state of the frame `back` updates before the last (0 ... lag) on the best path so far:
    // at the end of a stream, its last frames. -1 out of range.
    public int Settled(int back) {
        int n = total.Length;
        if (n == 0 || back < 0 || back >= seen || back > lag) return -1;
        int state = Best();
        for (int u = 0; u < back; ++u)
            state = from[((newest + lag - u) % lag) * n + state];
        return state;
    }

    public void Reset() {
        newest = 0;
        seen = 0;
    }

    // Every frame's state on the best path, as the tool's pass over a whole recording gives
    // them, for a smoother whose lag holds every frame but the newest.
    internal int[] Path() {
        var path = new int[seen];
        if (seen == 0 || total.Length == 0) return path;
        if (seen - 1 > lag) throw new InvalidOperationException("the lag holds fewer frames");
        int n = total.Length, state = Best();
        for (int back = 0; back < seen; ++back) {
            path[seen - 1 - back] = state;
            if (back + 1 < seen) state = from[((newest + lag - back) % lag) * n + state];
        }
        return path;
    }

    int Best() {
        int best = 0;
        for (int s = 1; s < total.Length; ++s) {
            if (total[s] > total[best]) best = s;
        }
        return best;
    }
}

// A stream's labels in one call per frame, as `vocetta analyze -` labels a stream (the host
// SDK's LiveLabels): silence below the gate (a LevelGate by default, or a fixed volume) or where
// the job scored nothing, the rest by the ViterbiSmoother read `lag` frames late, or without
// smoothing each frame's own best at once. Update neither allocates nor locks:
//
//     var labels = new Vocetta.LiveLabels(profile, rate / (double)hop);
//     analyzer.Push(block, count, frame => {
//         int label = labels.Update(frame);  // the frame Lag updates back, -1 at first
//         if (label >= 0) Show(labels.Names[label]);
//     });
//     foreach (int label in labels.Finish()) Show(labels.Names[label]);  // end of the line
public sealed class LiveLabels {
    readonly Profile profile;
    readonly LevelGate level;  // null with a fixed gate
    readonly float fixedGate;
    readonly bool smoothing;
    readonly int lag;
    readonly ViterbiSmoother smoother;
    readonly float[] row;
    readonly bool[] silent;  // the last lag + 1 frames, a ring
    readonly int[] best;
    readonly string[] names;
    readonly int silence;
    readonly bool[] sound;   // whether each of the last lag + 1 frames had sound
    readonly bool[] spoken;  // the labels of the level's window, a ring from `spokenOldest`
    readonly int mouthSpeech;
    int spokenOldest, spokenCount, speechFrames;
    long seen;

    // How much speech the labels must have found within the level's window before a mouth rests
    // under the gate (MouthGate), as the host SDK asks: a level heard from a room's noise alone
    // puts the gate 30 dB under that noise, and a mouth then talks through every pause.
    public const double MouthSpeechSeconds = 0.1;

    // MouthSpeechSeconds in frames, at least 1.
    public static int MouthSpeechFrames(double framesPerSecond) {
        double frames = MouthSpeechSeconds * framesPerSecond;
        return frames > 1 ? (int)Math.Round(frames, MidpointRounding.AwayFromZero) : 1;
    }

    // Whether labels say a line holds speech enough for its level to be speech's: at least
    // MouthSpeechFrames of it, and more than the share of the frames above the level's
    // percentile (0.95). Counts frames with sound only.
    internal static bool HeardSpeech(int speechFrames, int soundingFrames, int enough) {
        return speechFrames >= enough && speechFrames > (1.0 - 0.95) * soundingFrames;
    }

    // `fixedGate`: a volume under which frames are silence, or null for a LevelGate of
    // `gateDb` under the level of the last `windowSeconds`. The switch cost is the tool's: 2,
    // or 1 without a lag.
    public LiveLabels(Profile profile, double framesPerSecond, float? fixedGate = null,
                      bool smoothing = true, int lag = 2, float? switchCost = null,
                      double gateDb = -30.0, double windowSeconds = 10.0) {
        if (lag < 0) throw new ArgumentOutOfRangeException("lag");
        this.profile = profile;
        if (fixedGate.HasValue) {
            this.fixedGate = fixedGate.Value;
        } else {
            level = new LevelGate(framesPerSecond, gateDb, 0.95, windowSeconds);
            spoken = new bool[level.WindowFrames];
            mouthSpeech = MouthSpeechFrames(framesPerSecond);
        }
        this.smoothing = smoothing;
        this.lag = smoothing ? lag : 0;
        names = new string[ViterbiSmoother.StateCount(profile)];
        Array.Copy(profile.Names, names, profile.Names.Length);
        if (names.Length > profile.Names.Length) names[names.Length - 1] = "sil";
        silence = ViterbiSmoother.SilenceIndex(profile);
        smoother = new ViterbiSmoother(names.Length, switchCost ?? (this.lag == 0 ? 1.0f : 2.0f),
                                       this.lag);
        row = new float[names.Length];
        silent = new bool[this.lag + 1];
        best = new int[this.lag + 1];
        sound = new bool[this.lag + 1];
    }

    // The profile's phonemes, then "sil" when it has none: what the labels index.
    public string[] Names { get { return names; } }
    public int Silence { get { return silence; } }
    public int Lag { get { return lag; } }
    // The gate the newest frame met.
    public float Gate { get { return level != null ? level.Gate : fixedGate; } }
    // The gate for a mouth (MouthShapes.SetVolumes(gate, gate x LoudOverSilence)): Gate while
    // the labels of the level's window (its frames with sound) hold MouthSpeechSeconds of speech,
    // and more of it than the window's share above the level's percentile; otherwise 0, for the
    // mouth's own fixed levels. A fixed gate always.
    public float MouthGate {
        get {
            if (level == null) return fixedGate;
            return HeardSpeech(speechFrames, spokenCount, mouthSpeech) ? level.Gate : 0.0f;
        }
    }

    // One frame; returns the label of the frame Lag updates back, -1 while fewer have come.
    public int Update(Frame frame) {
        float gate = level != null ? level.Update(frame.Volume) : fixedGate;
        int slot = (int)(seen % silent.Length);
        silent[slot] = ViterbiSmoother.Silent(profile, frame, gate);
        best[slot] = frame.Best;
        sound[slot] = LevelGate.HasSound(frame.Volume);
        ++seen;
        int smoothed = -1;
        if (smoothing) {
            ViterbiSmoother.FillRow(profile, frame, silent[slot], row);
            smoothed = smoother.Update(row);
        }
        if (seen <= lag) return -1;
        int labelled = (int)((seen - 1 - lag) % silent.Length);
        int label = Label(labelled, smoothed);
        if (spoken != null && sound[labelled]) Heard(label != silence);
        return label;
    }

    void Heard(bool speech) {
        if (spokenCount == spoken.Length) {
            if (spoken[spokenOldest]) --speechFrames;
            spoken[spokenOldest] = speech;
            spokenOldest = (spokenOldest + 1) % spoken.Length;
        } else {
            spoken[(spokenOldest + spokenCount++) % spoken.Length] = speech;
        }
        if (speech) ++speechFrames;
    }

    // At the end of a stream: the labels of its last frames that Update has not given, oldest
    // first.
    public int[] Finish() {
        int count = (int)Math.Min(lag, seen);
        var labels = new int[count];
        for (int back = count - 1, i = 0; back >= 0; --back, ++i)
            labels[i] = Label((int)((seen - 1 - back) % silent.Length),
                              smoothing ? smoother.Settled(back) : -1);
        return labels;
    }

    int Label(int slot, int smoothed) {
        if (silent[slot]) return silence;
        return smoothing ? smoothed : best[slot];
    }
}

// Mouth shapes: what a character's face does with the analysis. Per frame, MouthShapes takes the
// job's phoneme scores and the block's volume and gives one weight per shape of a set, smoothed
// with separate attack and release times, sharpened so that the winning shape dominates, plus a
// jaw opening that follows the volume; the same arithmetic as the host SDK's mouth-shape layer,
// so that a C# engine shows the shapes the tool's cues show (given their labels' silence marks:
// Update's `silence`). Update neither allocates nor locks:
//
//     var mouth = new Vocetta.MouthShapes(profile, Vocetta.ShapeSet.Cartoon);
//     analyzer.Push(block, count, frame => mouth.Update(frame, hopSeconds));
//     blend the rig by mouth.Weights (in the order of mouth.ShapeNames), open the jaw by mouth.Jaw
//
// Two sets: Cartoon, nine shapes (A closed lips, B slightly open with clenched teeth, C open,
// D wide open, E slightly rounded, F puckered, G upper teeth on lower lip, H tongue raised,
// X rest), and Visemes, fifteen (sil PP FF TH DD kk CH SS nn RR aa E ih oh ou).
public enum ShapeSet { Cartoon, Visemes }

public static class Shapes {
    static readonly string[] CartoonNames = {"A", "B", "C", "D", "E", "F", "G", "H", "X"};
    static readonly string[] VisemeNames = {"sil", "PP", "FF", "TH", "DD", "kk", "CH", "SS",
                                            "nn", "RR", "aa", "E",  "ih", "oh", "ou"};
    // The shape each built-in phoneme name stands for: phoneme, cartoon, viseme.
    static readonly string[,] Defaults = {
        {"A", "D", "aa"}, {"E", "C", "E"}, {"I", "B", "ih"}, {"O", "E", "oh"}, {"U", "F", "ou"},
        {"M", "A", "PP"}, {"FV", "G", "FF"}, {"S", "B", "SS"}, {"L", "H", "nn"},
        {"sil", "X", "sil"}};

    public static string SetName(ShapeSet set) { return set == ShapeSet.Visemes ? "visemes" : "cartoon"; }

    public static ShapeSet Parse(string name) {
        if (name == "cartoon") return ShapeSet.Cartoon;
        if (name == "visemes") return ShapeSet.Visemes;
        throw new VocettaException("unknown shape set \"" + name + "\" (cartoon or visemes)");
    }

    // The set's shapes in their fixed order, which every weight vector follows (a copy).
    public static string[] Names(ShapeSet set) {
        return (string[])(set == ShapeSet.Visemes ? VisemeNames : CartoonNames).Clone();
    }

    // The shape of a closed, relaxed mouth: X or sil.
    public static int Rest(ShapeSet set) { return set == ShapeSet.Visemes ? 0 : 8; }
    // Closed lips (A, PP) and upper teeth on the lower lip (G, FF).
    public static int Closed(ShapeSet set) { return set == ShapeSet.Visemes ? 1 : 0; }
    public static int Lip(ShapeSet set) { return set == ShapeSet.Visemes ? 2 : 6; }

    // One shape's name, without the copy Names makes: for a frame loop.
    public static string Name(ShapeSet set, int shape) {
        return (set == ShapeSet.Visemes ? VisemeNames : CartoonNames)[shape];
    }

    // -1 when the set has no such shape.
    public static int Index(ShapeSet set, string name) {
        return Array.IndexOf(set == ShapeSet.Visemes ? VisemeNames : CartoonNames, name);
    }

    // How much of each shape every phoneme asks for: phonemes x shapes, row-major, each row
    // summing to 1. A phoneme takes its own "shapes" for the set (normalised), else the built-in
    // shape for its name (the vowels A E I O U, the classes M, FV, S, L and sil).
    public static float[] Map(Profile profile, ShapeSet set, string origin) {
        string setName = SetName(set);
        int count = Names(set).Length, phonemes = profile.Names.Length;
        var map = new float[phonemes * count];
        for (int p = 0; p < phonemes; ++p) {
            string where = origin + ": phonemes[" + p + "] (\"" + profile.Names[p] + "\").shapes";
            var own = profile.Shapes != null ? profile.Shapes[p] : null;
            SortedDictionary<string, float> weights = null;
            if (own != null) {
                Check(own, where);
                own.TryGetValue(setName, out weights);
            }
            if (weights != null) {
                double total = 0;
                foreach (var entry in weights) total += entry.Value;
                foreach (var entry in weights)
                    map[p * count + Index(set, entry.Key)] = (float)(entry.Value / total);
                continue;
            }
            int found = -1;
            for (int d = 0; d < Defaults.GetLength(0); ++d) {
                if (Defaults[d, 0] == profile.Names[p]) found = d;
            }
            if (found < 0) {
                throw new VocettaException(
                    where + ": no \"" + setName + "\" weights, and no built-in shape for a " +
                    "phoneme of this name (give it \"shapes\": {\"" + setName + "\": {SHAPE: 1}})");
            }
            map[p * count + Index(set, Defaults[found, set == ShapeSet.Visemes ? 2 : 1])] = 1.0f;
        }
        return map;
    }

    // Known sets and shapes, and a positive sum for every set named.
    static void Check(SortedDictionary<string, SortedDictionary<string, float>> weights,
                      string where) {
        foreach (var set in weights) {
            ShapeSet parsed;
            if (set.Key == "cartoon" || set.Key == "visemes") {
                parsed = Parse(set.Key);
            } else {
                throw new VocettaException(where + ": unknown shape set \"" + set.Key +
                                           "\" (cartoon or visemes)");
            }
            double total = 0;
            foreach (var shape in set.Value) {
                if (Index(parsed, shape.Key) < 0) {
                    throw new VocettaException(where + "." + set.Key + "." + shape.Key + ": the " +
                                               set.Key + " set has no such shape (" +
                                               string.Join(" ", Names(parsed)) + ")");
                }
                total += shape.Value;
            }
            if (!(total > 0)) {
                throw new VocettaException(where + "." + set.Key +
                                           ": the weights must not all be 0");
            }
        }
    }
}

public sealed class MouthSettings {
    // Time constants (seconds) of the one-pole smoothing while a weight rises and while it falls:
    // a step from 0 to 1 reaches 1 - 1/e after AttackSeconds. 0 follows at once.
    public double AttackSeconds = 0.02;
    public double ReleaseSeconds = 0.05;
    // Exponent on the frame's shape weights before they are normalised again: 1 leaves them as
    // the scores give them, larger values let the winning shape take over.
    public double Sharpness = 3.0;
    // RMS volumes: below SilenceVolume the mouth rests and the jaw closes; the jaw opens with the
    // logarithm of the volume and is fully open at LoudVolume.
    public float SilenceVolume = 0.01f;  // -40 dBFS
    public float LoudVolume = 0.25f;     // about -12 dBFS
    // How many times the closed lips and the teeth on the lip must outweigh another speaking
    // shape to be the one shown (Dominant); the weights are left alone. 1 or more.
    public double ClosedMargin = 1.0;
    public double LipMargin = 1.0;
    // Fricatives and closures radiate less sound than the vowels around them. Above 0, the teeth
    // on the lip (LipDipDb) or the closed lips (ClosedDipDb) are shown only in a frame whose
    // volume lies at least that many dB under the loudest frame of the last DipWindowSeconds
    // (this one included); elsewhere the strongest other speaking shape is. 0: no such test.
    public double ClosedDipDb = 0;
    public double LipDipDb = 0;
    public double DipWindowSeconds = 0.1;
}

public sealed class MouthShapes {
    readonly float[] map, target, weights;
    readonly int phonemes, count, rest, closed, lip;
    readonly MouthSettings settings;
    readonly float madeSilence, madeLoud;  // the levels of the settings it was made with
    float jaw;
    // The volumes of the last DipWindowSeconds that no later frame was as loud as, oldest (and
    // loudest) first, in a ring of fixed size; the shares of the loudest that the closed lips and
    // the teeth on the lip may reach, and whether this frame did.
    const int RecentVolumes = 512;
    readonly double[] recentTimes = new double[RecentVolumes];
    readonly float[] recentVolumes = new float[RecentVolumes];
    int first, kept;
    double clock;
    readonly double closedDip, lipDip;
    bool closedQuiet = true, lipQuiet = true;

    public readonly ShapeSet Set;
    public readonly string[] ShapeNames;

    // How far above a gate that follows the speaker the jaw is fully open (28 dB), as in the
    // tool's cue track: SetVolumes(gate, gate x LoudOverSilence).
    public const float LoudOverSilence = 25.0f;

    // Throws VocettaException for a phoneme without a shape in the set (naming the profile's
    // origin) and for settings out of range.
    public MouthShapes(Profile profile, ShapeSet set = ShapeSet.Cartoon,
                       MouthSettings settings = null) {
        var s = settings ?? new MouthSettings();
        if (!(s.AttackSeconds >= 0) || !(s.ReleaseSeconds >= 0) ||
            double.IsInfinity(s.AttackSeconds) || double.IsInfinity(s.ReleaseSeconds)) {
            throw new VocettaException("attack and release times must be finite and 0 or more");
        }
        if (!(s.Sharpness >= 1) || double.IsInfinity(s.Sharpness)) {
            throw new VocettaException("sharpness must be a finite number, 1 or more");
        }
        CheckVolumes(s.SilenceVolume, s.LoudVolume);
        if (!(s.ClosedMargin >= 1) || double.IsInfinity(s.ClosedMargin) || !(s.LipMargin >= 1) ||
            double.IsInfinity(s.LipMargin)) {
            throw new VocettaException("the closed and lip margins must be finite numbers, 1 or more");
        }
        foreach (double value in new[] {s.ClosedDipDb, s.LipDipDb, s.DipWindowSeconds}) {
            if (!(value >= 0) || double.IsInfinity(value)) {
                throw new VocettaException("the dips and the dip window must be finite and 0 or more");
            }
        }
        // A copy, so that the settings stay what they were when the mouth was made.
        this.settings = new MouthSettings {
            AttackSeconds = s.AttackSeconds, ReleaseSeconds = s.ReleaseSeconds,
            Sharpness = s.Sharpness, SilenceVolume = s.SilenceVolume, LoudVolume = s.LoudVolume,
            ClosedMargin = s.ClosedMargin, LipMargin = s.LipMargin, ClosedDipDb = s.ClosedDipDb,
            LipDipDb = s.LipDipDb, DipWindowSeconds = s.DipWindowSeconds};
        madeSilence = s.SilenceVolume;
        madeLoud = s.LoudVolume;
        closedDip = Math.Pow(10.0, -s.ClosedDipDb / 20.0);
        lipDip = Math.Pow(10.0, -s.LipDipDb / 20.0);
        Set = set;
        ShapeNames = Shapes.Names(set);
        map = Shapes.Map(profile, set, profile.Origin ?? "profile");
        phonemes = profile.Names.Length;
        count = ShapeNames.Length;
        rest = Shapes.Rest(set);
        closed = Shapes.Closed(set);
        lip = Shapes.Lip(set);
        target = new float[count];
        weights = new float[count];
        Reset();
    }

    // The smoothed weights (the mouth's own array: copy to keep). They sum to 1 when attack and
    // release are equal, otherwise they run above or below 1 during a change.
    public float[] Weights { get { return weights; } }
    // This frame's sharpened weights before smoothing (sum 1; likewise the mouth's own array).
    public float[] Target { get { return target; } }
    // Jaw opening, 0 (closed) ... 1 (fully open), smoothed like the weights.
    public float Jaw { get { return jaw; } }
    public float MapAt(int phoneme, int shape) { return map[phoneme * count + shape]; }

    // Back to rest: the rest shape at weight 1, the jaw closed.
    public void Reset() {
        Array.Clear(target, 0, count);
        Array.Clear(weights, 0, count);
        target[rest] = 1.0f;
        weights[rest] = 1.0f;
        jaw = 0;
        first = kept = 0;
        clock = 0;
        closedQuiet = lipQuiet = true;
    }

    // Moves the rest level and the fully open one from the next frame on, for a level that
    // follows the speaker: a LevelGate's gate, and 28 dB (25 times) above it, as the tool's cue
    // track of a whole recording has them. Throws as the constructor does, changing nothing.
    public void SetVolumes(float silenceVolume, float loudVolume) {
        CheckVolumes(silenceVolume, loudVolume);
        settings.SilenceVolume = silenceVolume;
        settings.LoudVolume = loudVolume;
    }

    // SetVolumes for a gate that follows the speaker (LiveLabels.MouthGate): rest under `gate`,
    // fully open LoudOverSilence times above it; a gate of 0 (no speech heard yet) gives back
    // the levels the mouth was made with.
    public void FollowGate(float gate) {
        if (gate > 0) SetVolumes(gate, gate * LoudOverSilence);
        else SetVolumes(madeSilence, madeLoud);
    }

    static void CheckVolumes(float silenceVolume, float loudVolume) {
        if (!(silenceVolume >= 0) || !(loudVolume > silenceVolume) || float.IsInfinity(loudVolume))
            throw new VocettaException("the loud volume must be finite and above the silence volume");
    }

    public void Update(Frame frame, double elapsedSeconds, bool silence = false, int shape = -1) {
        Update(frame.Scores, frame.Volume, elapsedSeconds, silence, shape);
    }

    // One frame: one score per phoneme (the job's, normalised, or all 0 when it found nothing),
    // the block's volume and the time since the previous frame. `silence`: the labels call the
    // frame silence (a whole line's smoothed track, as its cues have it), and the mouth rests
    // however loud it is. `shape`, one of the set's, is the shape the frame is known to show (a
    // line's transcript names the consonant there, Transcript.FrameShapes) in place of the scores'.
    public void Update(float[] scores, float volume, double elapsedSeconds, bool silence = false,
                       int shape = -1) {
        // The loudest of the window is the oldest volume kept: each frame drops the volumes
        // before it that are no louder than its own, and those that left the window.
        double elapsed = Math.Max(0.0, elapsedSeconds);
        clock += elapsed;
        float level = float.IsNaN(volume) || float.IsInfinity(volume) ? 0.0f : volume;
        while (kept > 0 && recentVolumes[(first + kept - 1) % RecentVolumes] <= level) --kept;
        if (kept == RecentVolumes) {
            first = (first + 1) % RecentVolumes;
            --kept;
        }
        recentTimes[(first + kept) % RecentVolumes] = clock;
        recentVolumes[(first + kept) % RecentVolumes] = level;
        ++kept;
        // The tolerance keeps a frame exactly one window back despite clocks summed from 0.01s.
        while (recentTimes[first] < clock - settings.DipWindowSeconds - 1e-9) {
            first = (first + 1) % RecentVolumes;
            --kept;
        }
        double loudest = recentVolumes[first];
        closedQuiet = !(settings.ClosedDipDb > 0) || level <= loudest * closedDip;
        lipQuiet = !(settings.LipDipDb > 0) || level <= loudest * lipDip;

        int n = Math.Min(scores.Length, phonemes);
        Array.Clear(target, 0, count);
        // Quiet blocks and blocks the job could not score (all 0, or not numbers) rest the mouth.
        double total = 0;
        for (int p = 0; p < n; ++p) {
            if (Usable(scores[p])) total += scores[p];
        }
        // A shape the transcript says is shown however quiet the frame: a stop's closure is
        // silent, and an f lies far under its vowels, but both are what the mouth does there.
        bool said = shape >= 0 && shape < count;
        bool heard = said || (!silence && volume >= settings.SilenceVolume && total > 0 &&
                              !double.IsInfinity(total));
        double jawTarget = 0;
        if (said) {
            target[shape] = 1.0f;
        } else if (heard) {
            for (int p = 0; p < n; ++p) {
                if (!Usable(scores[p])) continue;
                double share = scores[p] / total;
                for (int s = 0; s < count; ++s) target[s] += (float)(share * map[p * count + s]);
            }
        }
        if (heard) {
            // 0 at the silence level, 1 at the loud level, on a logarithmic scale. A loud block
            // is not a mouth at rest, whatever the scores say, so the rest shape keeps only the
            // share the volume leaves it.
            double quiet = Math.Max((double)settings.SilenceVolume, 1e-10);
            double loudness = volume > quiet ? Math.Log(volume / quiet) /
                                                   Math.Log(settings.LoudVolume / quiet)
                                             : 0.0;  // a said shape's silent frame, too
            loudness = Math.Min(Math.Max(loudness, 0.0), 1.0);
            float restBefore = target[rest];
            target[rest] = (float)(target[rest] * (1.0 - loudness));
            float strongest = target[0];
            for (int s = 1; s < count; ++s) strongest = Math.Max(strongest, target[s]);
            if (!(strongest > 0)) {  // nothing but rest, and loud: rest it is
                target[rest] = restBefore;
                strongest = restBefore;
            }
            // Sharpened relative to the strongest shape, so that large exponents cannot underflow.
            double sum = 0;
            for (int s = 0; s < count; ++s) {
                float ratio = (float)(target[s] / strongest);
                target[s] = (float)Math.Pow(ratio, settings.Sharpness);
                sum += target[s];
            }
            for (int s = 0; s < count; ++s) target[s] = (float)(target[s] / sum);
            jawTarget = (1.0 - target[rest]) * loudness;
        } else {
            target[rest] = 1.0f;
        }
        // The coefficient depends on the time that passed, so uneven frames give the same motion.
        double rise = Coefficient(elapsed, settings.AttackSeconds);
        double fall = Coefficient(elapsed, settings.ReleaseSeconds);
        for (int s = 0; s < count; ++s) weights[s] = Follow(weights[s], target[s], rise, fall);
        jaw = Follow(jaw, jawTarget, rise, fall);
    }

    // The shape to show: rest while its weight exceeds that of all other shapes together (they
    // share what rest gives up, so rest would win a plain comparison long after the mouth
    // opened), otherwise the strongest other shape, the closed and lip shapes' weights divided by
    // their margins (the lower index on equal weights), each only in a frame that dips far enough
    // under the recent loudest or where no other speaking shape has any weight.
    public int Dominant {
        get {
            double open = 0;
            for (int s = 0; s < count; ++s) {
                if (s != rest) open += weights[s];
            }
            // A shape held back by its dip gives way only to a shape that has some weight.
            int best = Strongest(true);
            if (!(weights[best] > 0)) best = Strongest(false);
            return best != rest && open >= weights[rest] ? best : rest;
        }
    }

    int Strongest(bool dips) {
        int best = rest;
        for (int s = 0; s < count; ++s) {
            if (s == rest) continue;
            if (dips && ((s == closed && !closedQuiet) || (s == lip && !lipQuiet))) continue;
            if (best == rest || Strength(s) > Strength(best)) best = s;
        }
        return best;
    }

    double Strength(int s) {
        double weight = weights[s];
        if (s == closed) return weight / settings.ClosedMargin;
        if (s == lip) return weight / settings.LipMargin;
        return weight;
    }

    public string DominantName { get { return ShapeNames[Dominant]; } }

    static bool Usable(float score) { return !float.IsNaN(score) && !float.IsInfinity(score) && score > 0; }

    static double Coefficient(double elapsed, double timeConstant) {
        return timeConstant > 0 ? 1.0 - Math.Exp(-elapsed / timeConstant) : 1.0;
    }

    static float Follow(float current, double goal, double rise, double fall) {
        return (float)(current + (goal - current) * (goal > current ? rise : fall));
    }
}

// A span of time during which one shape is shown.
public struct MouthCue {
    public double Start, End;  // seconds
    public int Shape;          // index into the set's shapes (Shapes.Names)
}

// How a whole recording's frames become cues; the defaults are the tool's (`analyze --cues`).
public sealed class CueSettings {
    // Every cue but the last lasts at least this long: 40 ms, a frame at 25 per second.
    public double MinHoldSeconds = 0.04;
    // A rest shorter than this between two other cues is a closure inside speech (m, b, p, or
    // another stop) and shows the closed lips; 0 keeps every rest.
    public double ClosureSeconds = 0.15;
    // A short cue that must join a neighbour favours an open one (neither rest nor closed):
    // open cues count their length times this, so a short vowel between two consonants is
    // shown over them rather than swallowed.
    public double OpenPriority = 2.0;
    // Cue boundaries fall on whole multiples of this.
    public double ResolutionSeconds = 0.01;
}

// Mouth cues of a whole line, contiguous from 0 to its duration: what an engine plays back
// beside the audio of prerecorded dialogue, or an editor script bakes when a clip is imported.
// The same cues as `vocetta analyze --cues`, and FromJson reads the tool's json cue files.
//
//     var track = Vocetta.CueTrack.Bake(library, profile, samples, rate);   // or FromJson
//     every frame of the game: show track.ShapeAt(audioSource.time)
public sealed class CueTrack {
    public ShapeSet Set;
    public double Duration;  // seconds
    public MouthCue[] Cues;

    public string ShapeName(int shape) { return Shapes.Name(Set, shape); }

    // The shape shown at `seconds`: the cue with Start <= seconds < End, the rest shape outside.
    public int ShapeAt(double seconds) {
        int low = 0, high = Cues.Length;  // the first cue starting after `seconds`
        while (low < high) {
            int middle = (low + high) / 2;
            if (seconds < Cues[middle].Start) high = middle; else low = middle + 1;
        }
        if (low == 0 || !(seconds < Cues[low - 1].End)) return Shapes.Rest(Set);
        return Cues[low - 1].Shape;
    }

    // The mouth the tool's cues come from: no smoothing (engines smooth their own weights), the
    // winning shape sharpened by 3, the teeth on the lip only 20 dB under the loudest frame of
    // the last 100 ms, and the rest level the recording's gate.
    public static MouthSettings MouthFor(float gateVolume) {
        float loud = gateVolume * MouthShapes.LoudOverSilence;
        return new MouthSettings {AttackSeconds = 0, ReleaseSeconds = 0, Sharpness = 3,
                                  ClosedMargin = 1, LipMargin = 1, ClosedDipDb = 0, LipDipDb = 20,
                                  DipWindowSeconds = 0.1, SilenceVolume = gateVolume,
                                  LoudVolume = loud > 0 ? loud : 0.25f};
    }

    // The whole recording as the tool reads a file: its noise taken out first unless
    // `cleanNoise` is false, a frame every 10 ms, silence `gateDb` under the 95th percentile of
    // the frame volumes, then each frame's winning shape made into cues. `mouth` null: MouthFor
    // the gate. `transcript`, IPA (Transcript.Phonemise of the line's words), aligns the labels
    // and the mouth to what the line says, as the tool's --ipa does.
    public static CueTrack Bake(Library library, Profile profile, float[] samples, int sampleRate,
                                ShapeSet set = ShapeSet.Cartoon, CueSettings cues = null,
                                MouthSettings mouth = null, bool cleanNoise = true,
                                double gateDb = -30.0, string buildSuffix = "",
                                string transcript = null) {
        var line = LineFrames.Analyse(library, profile, samples, sampleRate, cleanNoise, gateDb,
                                      buildSuffix, transcript);
        var shapes = new MouthShapes(profile, set, mouth ?? MouthFor(line.MouthGate));
        int[] said = line.SaidShapes(set);
        var winners = new int[line.Times.Length];
        for (int i = 0; i < winners.Length; ++i) {
            shapes.Update(line.Scores[i], line.Volumes[i], line.HopSeconds, line.Silence[i],
                          said == null ? -1 : said[i]);
            winners[i] = shapes.Dominant;
        }
        return new CueTrack {Set = set, Duration = line.Duration,
                             Cues = Build(line.Times, winners, line.Duration, set,
                                          cues ?? new CueSettings())};
    }

    // Work in whole ticks of the resolution, so that lengths compare exactly.
    struct Run {
        public long Start, End;
        public int Shape;
        public long Length { get { return End - Start; } }
    }

    // Cues from the winning shape of every frame (`times`: frame centres in seconds, ascending).
    // A boundary lies halfway between the centres of the frames on either side, rounded to the
    // resolution; the first cue starts at 0, the last ends at `duration`, and neighbours differ.
    // Short rests inside speech become closures; then, until every cue but the last lasts the
    // hold, the shortest under it (open cues counted at OpenPriority times their length) takes
    // the missing time from a neighbour that can spare it, or from both, if it lasts at least
    // half the hold, and otherwise joins its longer neighbour. Without frames the whole duration
    // rests. The arithmetic of the host SDK's BuildCues, so the cues are the tool's.
    public static MouthCue[] Build(double[] times, int[] shapes, double duration, ShapeSet set,
                                   CueSettings settings = null) {
        var s = settings ?? new CueSettings();
        int rest = Shapes.Rest(set), closed = Shapes.Closed(set);
        double tick = s.ResolutionSeconds > 0 ? s.ResolutionSeconds : 0.01;
        double perSecond = 1.0 / tick;  // k / 100 is 0.03, k x 0.01 is 0.030000000000000002
        Func<double, long> ticks = seconds => RoundHalfAway(seconds / tick);
        long endTick = Math.Max(0L, ticks(Math.Max(0.0, duration)));
        long hold = Math.Max(0L, ticks(s.MinHoldSeconds));

        var runs = new List<Run>();
        int frames = Math.Min(times.Length, shapes.Length);
        for (int i = 0; i < frames; ++i) {
            long start = i == 0 ? 0 : Math.Min(Math.Max(ticks(0.5 * (times[i - 1] + times[i])), 0L),
                                               endTick);
            if (runs.Count > 0 && runs[runs.Count - 1].Shape == shapes[i]) continue;
            if (runs.Count > 0) {
                Run last = runs[runs.Count - 1];
                last.End = start;
                runs[runs.Count - 1] = last;
            }
            runs.Add(new Run {Start = start, End = endTick, Shape = shapes[i]});
        }
        if (runs.Count == 0) runs.Add(new Run {Start = 0, End = endTick, Shape = rest});
        Tidy(runs);

        long closure = ticks(s.ClosureSeconds);
        if (closure > 0) {
            for (int i = 1; i + 1 < runs.Count; ++i) {
                if (runs[i].Shape == rest && runs[i].Length < closure &&
                    runs[i - 1].Shape != rest && runs[i + 1].Shape != rest) {
                    Run run = runs[i];
                    run.Shape = closed;
                    runs[i] = run;
                }
            }
            Tidy(runs);
        }
        Hold(runs, hold, rest, closed, s.OpenPriority);

        var cues = new MouthCue[runs.Count];
        for (int i = 0; i < cues.Length; ++i) {
            cues[i] = new MouthCue {Start = runs[i].Start / perSecond,
                                    End = runs[i].End / perSecond, Shape = runs[i].Shape};
        }
        cues[0].Start = 0;
        cues[cues.Length - 1].End = Math.Max(0.0, duration);
        return cues;
    }

    // C's llround: halves away from zero.
    static long RoundHalfAway(double value) {
        return (long)Math.Round(value, MidpointRounding.AwayFromZero);
    }

    // Neighbours of equal shape become one; runs that rounding left empty disappear (the first
    // keeps its start, the last its end).
    static void Tidy(List<Run> runs) {
        for (int i = 0; i < runs.Count && runs.Count > 1;) {
            if (runs[i].End <= runs[i].Start) {
                if (i + 1 < runs.Count) {
                    Run next = runs[i + 1];
                    next.Start = runs[i].Start;
                    runs[i + 1] = next;
                } else {
                    Run before = runs[i - 1];
                    before.End = runs[i].End;
                    runs[i - 1] = before;
                }
                runs.RemoveAt(i);
            } else if (i > 0 && runs[i].Shape == runs[i - 1].Shape) {
                Run before = runs[i - 1];
                before.End = runs[i].End;
                runs[i - 1] = before;
                runs.RemoveAt(i);
            } else {
                ++i;
            }
        }
    }

    static void Hold(List<Run> runs, long hold, int rest, int closed, double openPriority) {
        double priority = Math.Max(1.0, openPriority);
        Func<int, double> counted = i => {
            bool open = runs[i].Shape != rest && runs[i].Shape != closed;
            return runs[i].Length * (open ? priority : 1.0);
        };
        while (runs.Count > 1) {
            int shortest = runs.Count;
            for (int j = 0; j + 1 < runs.Count; ++j) {
                if (runs[j].Length < hold &&
                    (shortest == runs.Count || counted(j) < counted(shortest))) {
                    shortest = j;
                }
            }
            if (shortest == runs.Count) break;
            int i = shortest;
            long missing = hold - runs[i].Length;
            if (2 * runs[i].Length >= hold) {
                // From the neighbour with the most to spare if that stays held, else from both,
                // the later giving what the earlier cannot of an even split.
                long spareBefore = i > 0 ? runs[i - 1].Length - hold : -1;
                long spareAfter = i + 1 < runs.Count ? runs[i + 1].Length - hold : -1;
                long fromAfter;
                if (spareAfter >= missing && spareAfter >= spareBefore) {
                    fromAfter = missing;
                } else if (spareBefore >= missing) {
                    fromAfter = 0;
                } else if (spareBefore > 0 && spareAfter > 0 &&
                           spareBefore + spareAfter >= missing) {
                    fromAfter = Math.Min(Math.Max(missing - missing / 2, missing - spareBefore),
                                         spareAfter);
                } else {
                    fromAfter = -1;
                }
                if (fromAfter >= 0) {
                    Run run = runs[i];
                    run.End += fromAfter;
                    run.Start -= missing - fromAfter;
                    runs[i] = run;
                    if (i + 1 < runs.Count) {
                        Run next = runs[i + 1];
                        next.Start = run.End;
                        runs[i + 1] = next;
                    }
                    if (i > 0) {
                        Run before = runs[i - 1];
                        before.End = run.Start;
                        runs[i - 1] = before;
                    }
                    continue;
                }
            }
            // Otherwise it joins the longer neighbour (the earlier one on a tie).
            int into = i == 0 ? 1 : i + 1 == runs.Count ? i - 1
                                  : counted(i - 1) >= counted(i + 1) ? i - 1 : i + 1;
            Run target = runs[into];
            target.Start = Math.Min(target.Start, runs[i].Start);
            target.End = Math.Max(target.End, runs[i].End);
            runs[into] = target;
            runs.RemoveAt(i);
            Tidy(runs);
        }
    }

    // The tool's json cue file: {"metadata": {"soundFile", "duration"}, "mouthCues": [{"start",
    // "end", "value"}]}, seconds with two decimals, byte for byte as `vocetta analyze --cues`
    // writes it.
    public string ToJson(string soundFile) {
        var text = new StringBuilder();
        text.Append("{\n  \"metadata\": {\n    \"soundFile\": ").Append(LineText.Quoted(soundFile));
        text.Append(",\n    \"duration\": ").Append(LineText.Fixed(Duration, 2)).Append("\n  },\n");
        text.Append("  \"mouthCues\": [");
        for (int i = 0; i < Cues.Length; ++i) {
            text.Append(i == 0 ? "\n" : ",\n");
            text.Append("    {\"start\": ").Append(LineText.Fixed(Cues[i].Start, 2));
            text.Append(", \"end\": ").Append(LineText.Fixed(Cues[i].End, 2));
            text.Append(", \"value\": ");
            text.Append(LineText.Quoted(ShapeName(Cues[i].Shape))).Append('}');
        }
        text.Append(Cues.Length == 0 ? "]\n}\n" : "\n  ]\n}\n");
        return text.ToString();
    }

    // A json cue file (the tool's, or any with that layout). The cues must be in order, each
    // ending after it starts, with shapes of the set `set`; a bad file is a VocettaException
    // naming `origin` and the member.
    public static CueTrack FromJson(string text, string origin, ShapeSet set = ShapeSet.Cartoon) {
        Profile.Reader read;
        Dictionary<string, object> metadata;
        var document = ReadBaked(text, origin, out read, out metadata);
        double duration =
            Seconds(read, read.Member(metadata, "duration", "metadata"), "metadata.duration");
        var list = read.List(read.Member(document, "mouthCues", ""), "mouthCues");
        var cues = new MouthCue[list.Count];
        for (int i = 0; i < cues.Length; ++i) {
            string where = "mouthCues[" + i + "]";
            var cue = read.Object(list[i], where);
            cues[i].Start = Seconds(read, read.Member(cue, "start", where), where + ".start");
            cues[i].End = Seconds(read, read.Member(cue, "end", where), where + ".end");
            string name = read.Text(cue, "value", where);
            cues[i].Shape = Shapes.Index(set, name);
            if (cues[i].Shape < 0) {
                read.Fail(where + ".value", "'" + name + "' is not a shape of the " +
                                                Shapes.SetName(set) + " set");
            }
            if (!(cues[i].End > cues[i].Start) || (i > 0 && cues[i].Start < cues[i - 1].End)) {
                read.Fail(where, "must end after it starts, and not before the cue before it ends");
            }
        }
        return new CueTrack {Set = set, Duration = duration, Cues = cues};
    }

    // A baked file's document and its "metadata", for CueTrack's and ShapeCurves' readers.
    internal static Dictionary<string, object> ReadBaked(string text, string origin,
                                                         out Profile.Reader read,
                                                         out Dictionary<string, object> metadata) {
        object root;
        try {
            root = new Profile.Json(text).ReadDocument();
        } catch (FormatException error) {
            throw new VocettaException(origin + ": not JSON: " + error.Message);
        }
        read = new Profile.Reader(origin);
        var document = read.Object(root, "");
        metadata = read.Object(read.Member(document, "metadata", ""), "metadata");
        return document;
    }

    internal static double Seconds(Profile.Reader read, object value, string where) {
        if (!(value is double) || !((double)value >= 0) || double.IsInfinity((double)value))
            read.Fail(where, "must be a number of seconds, 0 or more");
        return (double)value;
    }
}

// Shape weights and the jaw on every animation frame of a whole line, for rigs that blend one
// blendshape (morph target) per shape rather than switch drawings: keys for an animation clip,
// the same curves as `vocetta analyze --curves`.
//
//     var curves = Vocetta.ShapeCurves.Bake(library, profile, samples, rate, fps: 30);
//     for each frame k (at k / 30 s): curves.Jaw[k], curves.Weight(k, shape) for every shape
public sealed class ShapeCurves {
    public ShapeSet Set;
    public double Duration;  // seconds
    public int Fps;
    public float[] Weights;  // frame k at k / Fps seconds: Frames x the set's shapes, row-major
    public float[] Jaw;      // one per frame, 0 closed ... 1 fully open

    public int Frames { get { return Jaw.Length; } }
    public int ShapeCount { get { return Weights.Length / Math.Max(1, Jaw.Length); } }
    public float Weight(int frame, int shape) { return Weights[frame * ShapeCount + shape]; }

    // The mouth the tool's curves come from: its cue mouth, smoothed as a live mouth is (20 ms
    // attack, 50 ms release), since keys from 10 ms frames make a rig twitch.
    public static MouthSettings MouthFor(float gateVolume) {
        var mouth = CueTrack.MouthFor(gateVolume);
        mouth.AttackSeconds = 0.02;
        mouth.ReleaseSeconds = 0.05;
        return mouth;
    }

    // The whole recording read as CueTrack.Bake reads it (`transcript` too), then the mouth
    // (null: MouthFor the gate) at every animation frame.
    public static ShapeCurves Bake(Library library, Profile profile, float[] samples,
                                   int sampleRate, ShapeSet set = ShapeSet.Cartoon, int fps = 24,
                                   MouthSettings mouth = null, bool cleanNoise = true,
                                   double gateDb = -30.0, string buildSuffix = "",
                                   string transcript = null) {
        var line = LineFrames.Analyse(library, profile, samples, sampleRate, cleanNoise, gateDb,
                                      buildSuffix, transcript);
        return Build(new MouthShapes(profile, set, mouth ?? MouthFor(line.MouthGate)), line.Times,
                     line.Volumes, line.Scores, line.HopSeconds, line.Duration, fps, line.Silence,
                     line.SaidShapes(set));
    }

    // Frame k reads the mouth those frames drive at k / fps seconds, linear between the two frame
    // centres around it, from rest at 0 s and held after the last centre: the host SDK's
    // arithmetic. `mouth` is driven from where it is (a new one rests); `silence`, one per frame
    // or null, marks the frames the labels call silence; `said`, one per frame or null, the
    // shapes a transcript says (Transcript.FrameShapes).
    public static ShapeCurves Build(MouthShapes mouth, double[] times, float[] volumes,
                                    float[][] scores, double hopSeconds, double duration,
                                    int fps, bool[] silence = null, int[] said = null) {
        if (fps < 1) throw new VocettaException("the frame rate must be at least 1");
        if (!(duration >= 0 && duration <= 86400)) {
            throw new VocettaException("curves last 0 to 86400 seconds, not " + duration);
        }
        if (volumes.Length != times.Length || scores.Length != times.Length ||
            (silence != null && silence.Length != times.Length) ||
            (said != null && said.Length != times.Length))
            throw new VocettaException("curves: the frames' times, volumes and scores differ");
        int shapes = mouth.ShapeNames.Length, width = shapes + 1;  // per point the shapes, the jaw
        var pointTimes = new List<double> {0.0};
        var values = new List<float>(new float[width]);
        values[Shapes.Rest(mouth.Set)] = 1.0f;
        for (int frame = 0; frame < times.Length; ++frame) {
            mouth.Update(scores[frame], volumes[frame], hopSeconds,
                         silence != null && silence[frame], said == null ? -1 : said[frame]);
            if (times[frame] <= pointTimes[pointTimes.Count - 1]) {  // a frame at 0 s replaces rest
                pointTimes.RemoveAt(pointTimes.Count - 1);
                values.RemoveRange(values.Count - width, width);
            }
            pointTimes.Add(times[frame]);
            values.AddRange(mouth.Weights);
            values.Add(mouth.Jaw);
        }
        long last = (long)Math.Floor(duration * fps + 1e-9);
        var curves = new ShapeCurves {Set = mouth.Set, Duration = duration, Fps = fps,
                                      Weights = new float[(last + 1) * shapes],
                                      Jaw = new float[last + 1]};
        int after = 0;  // the first point later than the frame's time
        for (long k = 0; k <= last; ++k) {
            double time = (double)k / fps;
            while (after < pointTimes.Count && pointTimes[after] <= time) ++after;
            int from = after == 0 ? 0 : after - 1;
            int to = after < pointTimes.Count ? after : from;
            double share = to == from ? 0.0 : (time - pointTimes[from]) /
                                                  (pointTimes[to] - pointTimes[from]);
            for (int s = 0; s <= shapes; ++s) {
                double a = values[from * width + s], b = values[to * width + s];
                float value = (float)(a + (b - a) * share);
                if (s < shapes) curves.Weights[k * shapes + s] = value; else curves.Jaw[k] = value;
            }
        }
        return curves;
    }

    // The tool's csv: "frame,time,jaw,SHAPE..." and a row per frame, four decimals.
    public string ToCsv() {
        string[] names = Shapes.Names(Set);
        var text = new StringBuilder("frame,time,jaw,").Append(string.Join(",", names));
        text.Append('\n');
        for (int k = 0; k < Frames; ++k) {
            text.Append(k.ToString(CultureInfo.InvariantCulture)).Append(',');
            text.Append(LineText.Fixed((double)k / Fps, 4)).Append(',');
            text.Append(LineText.Fixed(Jaw[k], 4));
            for (int s = 0; s < names.Length; ++s)
                text.Append(',').Append(LineText.Fixed(Weights[k * names.Length + s], 4));
            text.Append('\n');
        }
        return text.ToString();
    }

    // A json curve file read back (the tool's, or ToJson's), for a game that loads baked lines:
    // every curve of the set's shapes and the jaw, a value per frame. VocettaException naming
    // `origin` and the member for anything else.
    public static ShapeCurves FromJson(string text, string origin) {
        Profile.Reader read;
        Dictionary<string, object> metadata;
        var document = CueTrack.ReadBaked(text, origin, out read, out metadata);
        double duration = CueTrack.Seconds(read, read.Member(metadata, "duration", "metadata"),
                                           "metadata.duration");
        int fps = read.Integer(metadata, "fps", "metadata");
        if (fps < 1 || fps > 1000) read.Fail("metadata.fps", "must be 1 to 1000 frames per second");
        ShapeSet set = ShapeSet.Cartoon;
        try {
            set = Shapes.Parse(read.Text(metadata, "shapeSet", "metadata"));
        } catch (VocettaException error) {
            read.Fail("metadata.shapeSet", error.Message);
        }
        int frames = read.Integer(metadata, "frames", "metadata");
        if (frames < 0 || frames > 86400 * 1000) read.Fail("metadata.frames", "must be 0 or more");
        var named = read.Object(read.Member(document, "curves", ""), "curves");
        string[] names = Shapes.Names(set);
        // The jaw's list bears the count out before memory is set aside for every shape's.
        float[] jaw = read.Numbers(named, "jaw", "curves", frames, "one per frame");
        var curves = new ShapeCurves {Set = set, Duration = duration, Fps = fps,
                                      Weights = new float[frames * names.Length], Jaw = jaw};
        foreach (string key in named.Keys) {
            if (key != "jaw" && Shapes.Index(set, key) < 0)
                read.Fail("curves." + key, "is not a shape of the " + Shapes.SetName(set) + " set");
        }
        for (int s = 0; s < names.Length; ++s) {
            float[] values = read.Numbers(named, names[s], "curves", frames, "one per frame");
            for (int k = 0; k < frames; ++k) curves.Weights[k * names.Length + s] = values[k];
        }
        return curves;
    }

    // The weights (the first weights.Length of the set's shapes) and the jaw (returned) at
    // `seconds`, linear between the animation frames on either side, the first frame's before
    // it and the last's after: what a rig shows at the audio's time.
    public float Sample(double seconds, float[] weights) {
        int shapes = Shapes.Names(Set).Length, count = Frames;
        int given = weights == null ? 0 : Math.Min(weights.Length, shapes);
        if (count == 0) {
            for (int s = 0; s < given; ++s) weights[s] = s == Shapes.Rest(Set) ? 1.0f : 0.0f;
            return 0.0f;
        }
        double at = double.IsNaN(seconds) ? 0.0 : seconds * Fps;
        if (Math.Abs(at - Math.Round(at)) < 1e-9) at = Math.Round(at);
        int k = 0;
        float part = 0.0f;
        if (at >= count - 1) {
            k = count - 1;
        } else if (at > 0) {
            k = (int)at;
            part = (float)(at - k);
        }
        int next = Math.Min(k + 1, count - 1);
        for (int s = 0; s < given; ++s) {
            float a = Weights[k * shapes + s], b = Weights[next * shapes + s];
            weights[s] = a + (b - a) * part;
        }
        return Jaw[k] + (Jaw[next] - Jaw[k]) * part;
    }

    // The tool's json: {"metadata": {"soundFile", "duration", "fps", "shapeSet", "frames"},
    // "curves": {"jaw": [...], SHAPE: [...] ...}}, byte for byte.
    public string ToJson(string soundFile) {
        string[] names = Shapes.Names(Set);
        var text = new StringBuilder("{\n  \"metadata\": {\n    \"soundFile\": ");
        text.Append(LineText.Quoted(soundFile)).Append(",\n    \"duration\": ");
        text.Append(LineText.Fixed(Duration, 4)).Append(",\n    \"fps\": ").Append(Fps);
        text.Append(",\n    \"shapeSet\": ").Append(LineText.Quoted(Shapes.SetName(Set)));
        text.Append(",\n    \"frames\": ").Append(Frames).Append("\n  },\n  \"curves\": {");
        for (int s = -1; s < names.Length; ++s) {
            text.Append(s < 0 ? "\n    " : ",\n    ");
            text.Append(LineText.Quoted(s < 0 ? "jaw" : names[s])).Append(": [");
            for (int k = 0; k < Frames; ++k) {
                if (k > 0) text.Append(", ");
                text.Append(LineText.Fixed(s < 0 ? Jaw[k] : Weights[k * names.Length + s], 4));
            }
            text.Append(']');
        }
        return text.Append("\n  }\n}\n").ToString();
    }
}

// A face rig's own blendshapes driven by the mouth (the host SDK's rig.hpp, `vocetta analyze
// --curves --rig`): each of its curves the sum of factors times the shapes' weights and the jaw,
// clipped to 0 ... 1, in the file's order. The built-in rigs' files are installed with the tool
// (share/vocetta/rigs/arkit.json, vrm.json): copy one into the project and tune it to the face.
//
//     var rig = Vocetta.Rig.Load("arkit.json");
//     rig.Mix(mouth.Weights, mouth.Jaw, values);     // live: values[i] keys rig.Curves[i]
//     string csv = rig.ToCsv(curves);                // baked: the tool's --rig file, byte for byte
public sealed class Rig {
    public string Name;
    public ShapeSet Set;
    public string[] Curves;    // the rig's names, in the file's order
    float[][] factors;         // per curve: the jaw's, then each of the set's shapes'

    public static Rig Load(string path) { return FromJson(Profile.ReadFile(path), path); }

    // VocettaException naming `origin` and the member, as the SDK's ParseRig refuses a file.
    public static Rig FromJson(string text, string origin) {
        var read = new Profile.Reader(origin);
        object document = null;
        try {
            document = new Profile.Json(text).ReadDocument();
        } catch (FormatException error) {
            read.Fail("the document", "not JSON: " + error.Message);
        }
        var root = read.Object(document, "");
        var rig = new Rig {Name = read.Text(root, "rig", "")};
        try {
            rig.Set = Shapes.Parse(read.Text(root, "shapeSet", ""));
        } catch (VocettaException error) {
            read.Fail("shapeSet", error.Message);
        }
        string[] shapes = Shapes.Names(rig.Set);
        var curves = read.Object(read.Member(root, "curves", ""), "curves") as Profile.JsonObject;
        if (curves.Count == 0) read.Fail("curves", "must name at least one curve");
        rig.Curves = curves.Order.ToArray();
        rig.factors = new float[rig.Curves.Length][];
        for (int c = 0; c < rig.Curves.Length; ++c) {
            string name = rig.Curves[c], where = "curves." + name;
            if (name.Length == 0 || name.IndexOfAny(new[] {',', '"', '\n', '\r'}) >= 0)
                read.Fail(where, "a curve's name must be a column's: not empty, no comma or quote");
            var mix = curves[name] as Dictionary<string, object>;
            if (mix == null) read.Fail(where, "must be an object of factors");
            var row = new float[1 + shapes.Length];
            foreach (var factor in mix) {
                int shape = factor.Key == "jaw" ? -1 : Array.IndexOf(shapes, factor.Key);
                if (factor.Key != "jaw" && shape < 0)
                    read.Fail(where, "'" + factor.Key + "' is neither the jaw nor a shape of the " +
                                         Shapes.SetName(rig.Set) + " set (jaw " +
                                         string.Join(" ", shapes) + ")");
                if (!(factor.Value is double) || float.IsInfinity((float)(double)factor.Value))
                    read.Fail(where + "." + factor.Key, "must be a number of single precision");
                row[shape + 1] = (float)(double)factor.Value;
            }
            rig.factors[c] = row;
        }
        return rig;
    }

    // The rig's curves (one per Curves entry, into `values`) for one frame's shape weights (the
    // set's order: MouthShapes.Weights, ShapeCurves.Sample) and jaw.
    public void Mix(float[] weights, float jaw, float[] values) {
        for (int c = 0; c < factors.Length; ++c) {
            float[] row = factors[c];
            float value = row[0] * jaw;
            for (int s = 0; s + 1 < row.Length; ++s) value += row[s + 1] * weights[s];
            values[c] = value > 0.0f ? Math.Min(value, 1.0f) : 0.0f;  // as the SDK: no NaN, no -0
        }
    }

    // Every frame's curves, Frames x Curves.Length: VocettaException for curves of another set.
    public float[] Values(ShapeCurves curves) {
        if (curves.Set != Set)
            throw new VocettaException("the rig " + Name + " mixes the " + Shapes.SetName(Set) +
                                       " set, not the " + Shapes.SetName(curves.Set) +
                                       " set of these curves");
        int shapes = Shapes.Names(Set).Length;
        var values = new float[curves.Frames * Curves.Length];
        var weights = new float[shapes];
        var frame = new float[Curves.Length];
        for (int k = 0; k < curves.Frames; ++k) {
            Array.Copy(curves.Weights, k * shapes, weights, 0, shapes);
            Mix(weights, curves.Jaw[k], frame);
            Array.Copy(frame, 0, values, k * Curves.Length, Curves.Length);
        }
        return values;
    }

    // The tool's --rig csv: "frame,time,CURVE..." and a row per frame, four decimals.
    public string ToCsv(ShapeCurves curves) {
        float[] values = Values(curves);
        var text = new StringBuilder("frame,time,").Append(string.Join(",", Curves)).Append('\n');
        for (int k = 0; k < curves.Frames; ++k) {
            text.Append(k.ToString(CultureInfo.InvariantCulture)).Append(',');
            text.Append(LineText.Fixed((double)k / curves.Fps, 4));
            for (int c = 0; c < Curves.Length; ++c)
                text.Append(',').Append(LineText.Fixed(values[k * Curves.Length + c], 4));
            text.Append('\n');
        }
        return text.ToString();
    }

    // The tool's --rig json, byte for byte: the curves' metadata with the rig's name, then its
    // curves.
    public string ToJson(ShapeCurves curves, string soundFile) {
        float[] values = Values(curves);
        var text = new StringBuilder("{\n  \"metadata\": {\n    \"soundFile\": ");
        text.Append(LineText.Quoted(soundFile)).Append(",\n    \"duration\": ");
        text.Append(LineText.Fixed(curves.Duration, 4)).Append(",\n    \"fps\": ").Append(curves.Fps);
        text.Append(",\n    \"shapeSet\": ").Append(LineText.Quoted(Shapes.SetName(Set)));
        text.Append(",\n    \"rig\": ").Append(LineText.Quoted(Name));
        text.Append(",\n    \"frames\": ").Append(curves.Frames).Append("\n  },\n  \"curves\": {");
        for (int c = 0; c < Curves.Length; ++c) {
            text.Append(c == 0 ? "\n    " : ",\n    ");
            text.Append(LineText.Quoted(Curves[c])).Append(": [");
            for (int k = 0; k < curves.Frames; ++k) {
                if (k > 0) text.Append(", ");
                text.Append(LineText.Fixed(values[k * Curves.Length + c], 4));
            }
            text.Append(']');
        }
        return text.Append("\n  }\n}\n").ToString();
    }
}

// What a line says, when its words are known: the host SDK's transcript.hpp with the same
// arithmetic. Its phones, in order, are aligned to the frames in place of the smoothed track, so
// that the only question left to the scores is where each phone begins (README, "Lines whose
// words are known"):
//
//     string ipa = Vocetta.Transcript.Phonemise("Could you pass me the salt?");  // espeak-ng
//     var track = Vocetta.CueTrack.Bake(library, profile, samples, rate, transcript: ipa);
public static class Transcript {
    // A phone without a class scores as the frame's best label less OtherPenalty; a phone of a
    // class never less than the best less MismatchFloor (the SDK's constants).
    public const float OtherPenalty = 3.0f;
    public const float MismatchFloor = 10.0f;
    // The fewest frames (10 ms) of a phone of a class, and of another phone.
    public const int ClassFrames = 5;
    public const int OtherFrames = 4;
    public const int PauseMayFall = -2;  // Labels' entry between two words

    // A phone aligned as one without a class, whose frames are labelled `label` (b and p, shown
    // as M); the same function turns it back.
    public static int HeardAsOther(int label) { return -3 - label; }
    // A phone without a class scored at least as the class its sound is nearest (`label`),
    // labelled by its frames' best: the stops as silence, the nasals as M, z and ʒ as S.
    public const int SoundsLikeBase = -1000;
    public static int SoundsLike(int label) { return SoundsLikeBase - label; }
    static readonly string[][] SoundsLikeSymbols = {
        new[] {"sil", "tdkgɡqcɟʈɖ"}, new[] {"M", "nŋɲɳɴ"}, new[] {"S", "zʒʐʑ"}};
    public const string WordBreak = " ";  // SplitIpa's entry between two words

    // The words in IPA, as espeak-ng's voice `language` speaks them: what the tool's --text
    // aligns, its directions and markup left out unless `literalText` (SpokenText), and with
    // `speakerNames` the speaker that begins each line (WithoutSpeakerNames, --speaker-names).
    // VocettaException when espeak-ng is missing, lacks the voice or gives nothing.
    public static string Phonemise(string words, string language = "en-us",
                                   bool literalText = false, bool speakerNames = false) {
        if (string.IsNullOrWhiteSpace(words))
            throw new VocettaException("the transcript has no words");
        string directions = literalText ? words : SpokenText(words);
        string spoken = speakerNames ? WithoutSpeakerNames(directions) : directions;
        if (string.IsNullOrWhiteSpace(spoken))
            throw new VocettaException(
                string.IsNullOrWhiteSpace(directions)
                    ? "no words to say, only directions and markup; literalText says them as words"
                    : "no words to say, only a speaker's name");
        return RunPhonemiser(spoken, language, false).Replace('\n', ' ');
    }

    // `text` less the speaker that begins each of its lines, as Yarn and many dialogue scripts
    // write one ("Mae: Hi there." is "Hi there."; the SDK's WithoutSpeakerNames): a line's name
    // runs to its first colon followed by a space or the line's end, and goes with that colon
    // and the spaces after it; a colon of the words is written "\\:" (its backslash goes).
    public static string WithoutSpeakerNames(string text) {
        var spoken = new StringBuilder(text.Length);
        string[] lines = text.Split('\n');
        for (int l = 0; l < lines.Length; ++l) {
            string line = lines[l];
            int from = 0;
            for (int at = 0; at < line.Length; ++at) {
                if (line[at] != ':' || (at > 0 && line[at - 1] == '\\')) continue;
                if (at + 1 < line.Length && !BlankChar(line[at + 1])) continue;
                bool named = false;
                for (int i = 0; i < at; ++i) named |= !BlankChar(line[i]);
                if (named) {
                    from = at + 1;
                    while (from < line.Length && BlankChar(line[from])) ++from;
                }
                break;
            }
            for (int at = from; at < line.Length; ++at) {
                if (line[at] == '\\' && at + 1 < line.Length && line[at + 1] == ':') continue;
                spoken.Append(line[at]);
            }
            if (l + 1 < lines.Length) spoken.Append('\n');
        }
        return spoken.ToString();
    }

    static bool BlankChar(char c) { return c == ' ' || c == '\t' || c == '\r'; }

    // Each kind of bracket at the same place in both: ( [ { < and the full-width （ ［ 【.
    const string DirectionOpen = "([{<\uFF08\uFF3B\u3010";
    const string DirectionClose = ")]}>\uFF09\uFF3D\u3011";

    static bool WordChar(char c) {
        return c >= 0x80 || (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') ||
               (c >= 'A' && c <= 'Z');
    }
    static bool SpaceChar(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

    // Whether text[at] starts the tags that end a line of Ink or Yarn ("#happy", "#line:0a1b2c"):
    // a '#' that is no word's last character ("C#") nor a number's sign ("#1").
    static bool TagStart(string text, int at) {
        if (text[at] != '#' || (at > 0 && WordChar(text[at - 1]))) return false;
        return at + 1 == text.Length || text[at + 1] < '0' || text[at + 1] > '9';
    }

    // What a line's written text says aloud (the SDK's SpokenText): stage directions and markup
    // in parentheses, square brackets, braces and angle brackets (and the full-width ones) left
    // out where they close on their line, the tags that end a line of Ink or Yarn, and asterisks
    // alone; nothing where they sat inside a word ("Hel<b>lo</b>"), a space between a stop and
    // the word after it ("so.(beat)No").
    public static string SpokenText(string text) {
        // Past the end of the span each opening bracket opens, matched in one pass.
        var ends = new int[text.Length];
        var open = new List<int>[DirectionOpen.Length];
        for (int kind = 0; kind < open.Length; ++kind) open[kind] = new List<int>();
        for (int i = 0; i < text.Length; ++i) {
            ends[i] = text[i] == '*' ? i + 1 : -1;
            if (text[i] == '\n') {
                foreach (var unclosed in open) unclosed.Clear();
                continue;
            }
            int opens = DirectionOpen.IndexOf(text[i]), closes = DirectionClose.IndexOf(text[i]);
            if (opens >= 0) open[opens].Add(i);
            if (closes >= 0 && open[closes].Count > 0) {
                ends[open[closes][open[closes].Count - 1]] = i + 1;
                open[closes].RemoveAt(open[closes].Count - 1);
            }
        }
        var spoken = new StringBuilder(text.Length);
        int at = 0;
        while (at < text.Length) {
            if (TagStart(text, at)) {
                int lineEnd = text.IndexOf('\n', at);
                at = lineEnd < 0 ? text.Length : lineEnd;
                continue;
            }
            int end = ends[at];
            if (end < 0) {
                spoken.Append(text[at++]);
                continue;
            }
            at = end;
            if (spoken.Length > 0 && at < text.Length && !SpaceChar(spoken[spoken.Length - 1]) &&
                !SpaceChar(text[at]) && !WordChar(spoken[spoken.Length - 1]) && WordChar(text[at]))
                spoken.Append(' ');
        }
        return spoken.ToString();
    }

    // Lines shorter than this end a clause when each written word is phonemised alone.
    const int ClauseLine = 1000;

    // espeak-ng's IPA for `words`, a line per clause; with `linePerClause` every line of `words`
    // is a clause of its own.
    static string RunPhonemiser(string words, string language, bool linePerClause) {
        bool voice = !string.IsNullOrEmpty(language) && language[0] != '-';
        foreach (char c in language ?? "")
            voice &= char.IsLetterOrDigit(c) || c == '-' || c == '_' || c == '+';
        if (!voice) throw new VocettaException("'" + language + "' is no espeak-ng voice name");
        var start = new System.Diagnostics.ProcessStartInfo(
            "espeak-ng", "-q --ipa -v " + language + " --stdin" +
                             (linePerClause ? " -l " + ClauseLine : "")) {
            UseShellExecute = false, RedirectStandardInput = true, RedirectStandardOutput = true,
            RedirectStandardError = true, StandardOutputEncoding = Encoding.UTF8,
            StandardErrorEncoding = Encoding.UTF8};
        System.Diagnostics.Process process;
        try {
            process = System.Diagnostics.Process.Start(start);
        } catch (Exception error) {
            throw new VocettaException("turning words into phones needs espeak-ng (apt install " +
                                       "espeak-ng): " + error.Message);
        }
        using (process) {
            var output = process.StandardOutput.ReadToEndAsync();
            var errors = process.StandardError.ReadToEndAsync();
            try {
                using (var input = new System.IO.StreamWriter(process.StandardInput.BaseStream,
                                                              new UTF8Encoding(false)))
                    input.Write(words);
            } catch (System.IO.IOException) {
                // It stopped before reading the words: its status and messages say why.
            }
            // It phonemises some 20 kB a second: one that takes far longer has hung, and an
            // importer that waits for it would never end.
            if (!process.WaitForExit(10000 + words.Length / 10)) {
                try {
                    process.Kill();
                } catch (InvalidOperationException) {
                    // It ended after all.
                }
                throw new VocettaException("espeak-ng gave no phones in time and was stopped");
            }
            string phones = output.Result;
            if (process.ExitCode != 0 || string.IsNullOrWhiteSpace(phones))
                throw new VocettaException("espeak-ng could not turn the words into phones with " +
                                           "the voice '" + language + "': " + errors.Result.Trim());
            return phones;
        }
    }

    // The words of each word of `ipa` (IPA words as SplitIpa separates them, joined).
    public static List<string> IpaWords(string ipa) {
        var words = new List<string> {""};
        foreach (string phone in SplitIpa(ipa)) {
            if (phone == WordBreak) words.Add(""); else words[words.Count - 1] += phone;
        }
        if (words[words.Count - 1] == "") words.RemoveAt(words.Count - 1);
        return words;
    }

    // What separates written words: spaces, and the dashes and ellipsis between words.
    static bool WordSpace(int code) {
        return code <= 0x20 || code == 0x7F || code == 0x00A0 || code == 0x1680 ||
               (code >= 0x2000 && code <= 0x200B) || (code >= 0x2013 && code <= 0x2015) ||
               code == 0x2026 || code == 0x2028 || code == 0x2029 || code == 0x202F ||
               code == 0x205F || code == 0x3000;
    }

    // Punctuation that a word's ends lose: stops, quotes, brackets, dashes, inverted marks.
    static bool EdgePunctuation(int code) {
        if (code < 0x80) return ".,;:!?\"'()[]{}-".IndexOf((char)code) >= 0;
        return code == 0x00A1 || code == 0x00AB || code == 0x00BB || code == 0x00BF ||
               (code >= 0x2010 && code <= 0x2027) || code == 0x2039 || code == 0x203A ||
               (code >= 0x3001 && code <= 0x3003) || (code >= 0x3008 && code <= 0x3011) ||
               code == 0xFF01 || code == 0xFF02 || code == 0xFF07 || code == 0xFF08 ||
               code == 0xFF09 || code == 0xFF0C || code == 0xFF0E ||
               (code >= 0xFF1A && code <= 0xFF1F);
    }

    // The words of written text as a script reads (the SDK's SplitWords): what spaces, dashes
    // and ellipses separate, less the punctuation at either end; "don't", "$42.50" stay whole.
    public static List<string> SplitWords(string text) {
        var words = new List<string>();
        int first = 0, last = 0, i = 0;
        bool named = false;
        while (i < text.Length) {
            int length = char.IsHighSurrogate(text[i]) && i + 1 < text.Length ? 2 : 1;
            int code = length == 2 ? char.ConvertToUtf32(text[i], text[i + 1]) : text[i];
            int before = i;
            i += length;
            if (WordSpace(code)) {
                if (named) words.Add(text.Substring(first, last - first));
                named = false;
                continue;
            }
            if (EdgePunctuation(code)) continue;
            if (!named) first = before;
            named = true;
            last = i;
        }
        if (named) words.Add(text.Substring(first, last - first));
        return words;
    }

    // The phones of IPA, each with the index of its word (`index`, or their own words' when
    // `index` is negative); returns the count of words.
    static int AddPhones(string ipa, int index, List<string> phones, List<int> wordOf) {
        int breaks = 0, added = 0;
        foreach (string phone in SplitIpa(ipa)) {
            if (phone == WordBreak) {
                ++breaks;
                continue;
            }
            phones.Add(phone);
            wordOf.Add(index < 0 ? breaks : index);
            ++added;
        }
        return added > 0 ? breaks + 1 : 0;
    }

    // Pairs of phones the cheapest alignment of `from` and `to` matches or substitutes, and its
    // cost, searched within a band of the diagonal (the SDK's edit distance, move for move).
    static List<KeyValuePair<int, int>> AlignPhones(List<string> from, List<string> to,
                                                    out int cost) {
        const int reach = 24, width = 2 * reach + 1, far = int.MaxValue / 2;
        int n = from.Count, m = to.Count;
        Func<int, int> first = row => Math.Max(0, (int)((long)row * m / n) - reach);
        Func<int, int> last = row => Math.Min(m, (int)((long)row * m / n) + reach);
        var moves = new byte[(long)(n + 1) * width];
        var above = new int[width];
        var here = new int[width];
        for (int k = 0; k < width; ++k) above[k] = far;
        for (int row = 0; row <= n; ++row) {
            int lo = first(row), hi = last(row);
            int aboveLo = row == 0 ? 0 : first(row - 1), aboveHi = row == 0 ? 0 : last(row - 1);
            for (int k = 0; k < width; ++k) here[k] = far;
            for (int column = lo; column <= hi; ++column) {
                int best = far;
                byte move = 0;
                if (row == 0 && column == 0) {
                    best = 0;
                } else {
                    if (row > 0 && column > 0 && column - 1 >= aboveLo && column - 1 <= aboveHi)
                        best = above[column - 1 - aboveLo] + (from[row - 1] == to[column - 1] ? 0 : 1);
                    if (row > 0 && column >= aboveLo && column <= aboveHi &&
                        above[column - aboveLo] + 1 < best) {
                        best = above[column - aboveLo] + 1;
                        move = 1;
                    }
                    if (column > lo && here[column - 1 - lo] + 1 < best) {
                        best = here[column - 1 - lo] + 1;
                        move = 2;
                    }
                }
                here[column - lo] = best;
                moves[(long)row * width + (column - lo)] = move;
            }
            var swap = above;
            above = here;
            here = swap;
        }
        var pairs = new List<KeyValuePair<int, int>>();
        if (m < first(n) || m > last(n) || above[m - first(n)] >= far) {
            cost = Math.Max(n, m);
            return pairs;
        }
        cost = above[m - first(n)];
        for (int row = n, column = m; row > 0 || column > 0;) {
            byte move = moves[(long)row * width + (column - first(row))];
            if (move == 0) {
                pairs.Add(new KeyValuePair<int, int>(row - 1, column - 1));
                --row;
                --column;
            } else if (move == 1) {
                --row;
            } else {
                --column;
            }
        }
        pairs.Reverse();
        return pairs;
    }

    // Each word of `ipa` (a line phonemised whole) named by the written words it says, given each
    // written word phonemised alone (`writtenIpa[i]` says `written[i]`): the SDK's
    // WrittenWordNames. A phonemiser joins unstressed words to the next ("on the": ɔnðə) and says
    // a number as several words; the phones are aligned, and each written word goes to the word
    // most of its phones fall in. Null when the readings differ in over a quarter of their phones.
    public static string[] WrittenWordNames(string ipa, IList<string> written,
                                            IList<string> writtenIpa) {
        if (written.Count != writtenIpa.Count || written.Count == 0) return null;
        var line = new List<string>();
        var lineWord = new List<int>();
        var alone = new List<string>();
        var aloneWord = new List<int>();
        int words = AddPhones(ipa, -1, line, lineWord);
        for (int i = 0; i < writtenIpa.Count; ++i) AddPhones(writtenIpa[i], i, alone, aloneWord);
        int n = line.Count, m = alone.Count;
        if (n == 0 || 4 * Math.Abs(n - m) > Math.Max(n, m) + 4) return null;
        int cost;
        var pairs = AlignPhones(line, alone, out cost);
        if (4 * cost > Math.Max(n, m) + 4) return null;
        // How many of each written word's phones fall in each word of the line, in order.
        var overlaps = new List<KeyValuePair<int, int>>[written.Count];
        for (int i = 0; i < written.Count; ++i) overlaps[i] = new List<KeyValuePair<int, int>>();
        foreach (var pair in pairs) {
            var counts = overlaps[aloneWord[pair.Value]];
            int word = lineWord[pair.Key];
            if (counts.Count == 0 || counts[counts.Count - 1].Key != word)
                counts.Add(new KeyValuePair<int, int>(word, 0));
            counts[counts.Count - 1] =
                new KeyValuePair<int, int>(word, counts[counts.Count - 1].Value + 1);
        }
        var home = new int[written.Count];
        for (int i = 0; i < written.Count; ++i) {
            home[i] = -1;
            int most = 0;
            foreach (var count in overlaps[i]) {
                if (count.Value > most) {
                    most = count.Value;
                    home[i] = count.Key;
                }
            }
        }
        // A written word none of whose phones were matched stays beside its neighbours.
        for (int i = 1; i < written.Count; ++i) if (home[i] < 0) home[i] = home[i - 1];
        for (int i = written.Count - 2; i >= 0; --i) if (home[i] < 0) home[i] = home[i + 1];
        if (home[0] < 0) return null;
        var names = new string[words];
        for (int i = 0; i < written.Count; ++i)
            names[home[i]] = names[home[i]] == null ? written[i] : names[home[i]] + " " + written[i];
        // A word no written word went to is one of several a written word is said as, or holds
        // only sounds the words alone lack (a liaison's consonant): named by the written word
        // most of its phones were matched with, else the one matched nearest before, else after.
        var matched = new int[n];
        for (int k = 0; k < n; ++k) matched[k] = -1;
        foreach (var pair in pairs) matched[pair.Key] = aloneWord[pair.Value];
        for (int k = 0; k < n;) {
            int word = lineWord[k], end = k;
            while (end < n && lineWord[end] == word) ++end;
            if (names[word] == null) {
                var counts = new List<KeyValuePair<int, int>>();  // (written word, phones)
                for (int j = k; j < end; ++j) {
                    if (matched[j] < 0) continue;
                    if (counts.Count == 0 || counts[counts.Count - 1].Key != matched[j])
                        counts.Add(new KeyValuePair<int, int>(matched[j], 0));
                    counts[counts.Count - 1] = new KeyValuePair<int, int>(
                        matched[j], counts[counts.Count - 1].Value + 1);
                }
                int chosen = -1, most = 0;
                foreach (var count in counts) {
                    if (count.Value > most) {
                        most = count.Value;
                        chosen = count.Key;
                    }
                }
                for (int j = k - 1; chosen < 0 && j >= 0; --j) chosen = matched[j];
                for (int j = end; chosen < 0 && j < n; ++j) chosen = matched[j];
                names[word] = written[chosen];
            }
            k = end;
        }
        return names;
    }

    // Each word of `ipa`, the Phonemise of `text` (with the same `literalText` and
    // `speakerNames`), named by the
    // written words of `text` it says (each phonemised alone by espeak-ng, then
    // WrittenWordNames), or by its IPA where they cannot be told apart: the names the tool's
    // --phones writes. Errors of Phonemise.
    public static string[] WrittenWords(string text, string ipa, string language = "en-us",
                                        bool literalText = false, bool speakerNames = false) {
        List<string> own = IpaWords(ipa);
        string spoken = literalText ? text ?? "" : SpokenText(text ?? "");
        List<string> written = SplitWords(speakerNames ? WithoutSpeakerNames(spoken) : spoken);
        var lines = new StringBuilder();
        foreach (string word in written) {
            if (Encoding.UTF8.GetByteCount(word) + 1 >= ClauseLine) return own.ToArray();
            lines.Append(word).Append('\n');
        }
        if (written.Count == 0) return own.ToArray();
        string each;
        try {
            each = RunPhonemiser(lines.ToString(), language, true);
        } catch (VocettaException) {
            return own.ToArray();  // a courtesy to the reader: the IPA names the words then
        }
        var alone = new List<string>(each.Split('\n'));
        if (alone.Count > 0 && alone[alone.Count - 1] == "" && each.EndsWith("\n"))
            alone.RemoveAt(alone.Count - 1);
        string[] names = WrittenWordNames(ipa, written, alone);
        return names != null && names.Length == own.Count ? names : own.ToArray();
    }

    // Marks that belong to no phone: stress, length, ties, syllable and group boundaries, and
    // (ASCII other than letters) spaces, line breaks and punctuation, which end a word.
    static bool Separator(int code) {
        if (code < 0x80) return !((code >= 'a' && code <= 'z') || (code >= 'A' && code <= 'Z'));
        return code == 0x02C8 || code == 0x02CC || code == 0x02D0 || code == 0x02D1 ||
               code == 0x035C || code == 0x0361 || code == 0x203F || code == 0x2016;
    }

    static bool EndsWord(int code) { return code < 0x80 || code == 0x2016; }

    static bool Diacritic(int code) {
        return (code >= 0x0300 && code <= 0x036F) || (code >= 0x02B0 && code <= 0x02FF) ||
               (code >= 0x1DC0 && code <= 0x1DFF) || (code >= 0x2070 && code <= 0x209F);
    }

    // The phones of IPA text: each symbol with the diacritics after it, WordBreak between words.
    public static List<string> SplitIpa(string ipa) {
        var phones = new List<string>();
        bool open = false;
        for (int i = 0; i < ipa.Length;) {
            int length = char.IsHighSurrogate(ipa[i]) && i + 1 < ipa.Length ? 2 : 1;
            int code = length == 2 ? char.ConvertToUtf32(ipa[i], ipa[i + 1]) : ipa[i];
            string symbol = ipa.Substring(i, length);
            i += length;
            if (code == '(') {  // espeak-ng's change of language, "(en)", or an optional sound
                int close = ipa.IndexOf(')', i);
                i = close < 0 ? ipa.Length : close + 1;
            }
            if (Separator(code)) {
                if (EndsWord(code) && phones.Count > 0 && phones[phones.Count - 1] != WordBreak)
                    phones.Add(WordBreak);
                open = false;
            } else if (Diacritic(code)) {
                if (open) phones[phones.Count - 1] += symbol;
            } else {
                phones.Add(symbol);
                open = true;
            }
        }
        if (phones.Count > 0 && phones[phones.Count - 1] == WordBreak)
            phones.RemoveAt(phones.Count - 1);
        return phones;
    }

    // The symbols each class starts with: IPA's, and accented Latin letters typed for them.
    static readonly string[][] ClassSymbols = {
        new[] {"A", "aɑæʌɶàáâãäå"}, new[] {"I", "iyɪʏɨìíîïü"}, new[] {"U", "uʊɯʉùúû"},
        new[] {"E", "eɛøœèéêëö"}, new[] {"O", "oɔɒɵɤòóôõ"}, new[] {"M", "mɱ"},
        new[] {"FV", "fv"}, new[] {"S", "sʃɕʂ"}};

    // The class whose mouth a phone shows ("A" ... "S"), by its first symbol; "" for none.
    public static string IpaClass(string phone) {
        if (string.IsNullOrEmpty(phone) || char.IsSurrogate(phone[0])) return "";
        foreach (string[] entry in ClassSymbols) {
            if (entry[1].IndexOf(phone[0]) >= 0) return entry[0];
        }
        return "";
    }

    // The phones of `ipa` as the profile's label indices (its phonemes, then "sil" when it has
    // none): the class's index, -1 for a phone without one, PauseMayFall between words.
    public static int[] Labels(string ipa, Profile profile) {
        var names = new List<string>(profile.Names);
        if (!names.Contains("sil")) names.Add("sil");
        int lips = names.IndexOf("M");
        var labels = new List<int>();
        foreach (string phone in SplitIpa(ipa)) {
            if (phone == WordBreak) {
                if (labels.Count > 0) labels.Add(PauseMayFall);
                continue;
            }
            string phonemeClass = IpaClass(phone);
            int like = -1;
            foreach (string[] entry in SoundsLikeSymbols) {
                if (entry[1].IndexOf(phone[0]) >= 0 && names.IndexOf(entry[0]) >= 0)
                    like = names.IndexOf(entry[0]);
            }
            int label = phonemeClass.Length == 0 ? -1 : names.IndexOf(phonemeClass);
            if ("bpɓ".IndexOf(phone[0]) >= 0 && lips >= 0)
                labels.Add(HeardAsOther(lips));  // closes the lips, sounds like no class
            else
                labels.Add(label < 0 && like >= 0 ? SoundsLike(like) : label);
        }
        return labels.ToArray();
    }

    // Every frame's label on the best path that says the phones of `transcript` in order (rows:
    // per frame, the smoother's row of each state), the SDK's AlignTranscript: pauses before, after
    // and between words, each phone for its fewest frames or more (a phone of a class
    // `classFrames`, another `otherFrames`, each at most the line's mean: its frames that do not
    // score best as silence over its phones), a phone without a class labelled by its frame's best
    // state. `said`, when given (one per frame), marks the frames whose label the transcript says;
    // `phoneOf`, when given (one per frame), gets the phone each frame says, counted over the
    // phones alone, or -1.
    public static int[] Align(float[][] rows, int silence, int[] transcript,
                              float switchCost = 2.0f, float otherPenalty = OtherPenalty,
                              float mismatchFloor = MismatchFloor, bool[] said = null,
                              int[] phoneOf = null, int classFrames = ClassFrames,
                              int otherFrames = OtherFrames) {
        int frames = rows.Length;
        if (said != null) for (int t = 0; t < said.Length; ++t) said[t] = true;
        if (phoneOf != null) for (int t = 0; t < phoneOf.Length; ++t) phoneOf[t] = -1;
        if (frames == 0) return new int[0];
        var phones = new List<int>();
        var pause = new List<bool> {true};
        int states = rows[0].Length;
        Func<int, bool> known = label => label >= 0 && label < states;
        foreach (int label in transcript) {
            if (label == PauseMayFall) {
                pause[pause.Count - 1] = true;
            } else {
                // A label that names no state is a phone without a class.
                bool usable = label >= 0 ? known(label)
                              : label <= SoundsLikeBase ? known(SoundsLike(label))
                              : label <= -3 ? known(HeardAsOther(label)) : true;
                phones.Add(usable ? label : -1);
                pause.Add(false);
            }
        }
        pause[pause.Count - 1] = true;
        var labels = new int[frames];
        if (phones.Count == 0) {
            for (int t = 0; t < frames; ++t) labels[t] = silence;
            return labels;
        }
        if (frames < phones.Count) {
            if (said != null) for (int t = 0; t < said.Length; ++t) said[t] = false;
            var smoother = new ViterbiSmoother(states, switchCost, Math.Max(1, frames - 1));
            foreach (float[] row in rows) smoother.Advance(row);
            return smoother.Path();
        }
        int sounding = 0;
        foreach (float[] row in rows) {
            int best = 0;
            for (int s = 1; s < row.Length; ++s) if (row[s] > row[best]) best = s;
            if (best != silence) ++sounding;
        }
        int mean = Math.Max(1, sounding / phones.Count);
        // Per state: its phone (-1 in the pause before phone `pauseOf`), whether it may stay (a
        // pause, or the last of its phone's chain) and whether it begins its phone's chain.
        var phoneOfState = new List<int>();
        var pauseOf = new List<int>();
        var repeats = new List<bool>();
        var first = new List<bool>();
        for (int i = 0; i <= phones.Count; ++i) {
            phoneOfState.Add(-1);
            pauseOf.Add(i);
            repeats.Add(true);
            first.Add(false);
            if (i == phones.Count) break;
            int length = Math.Min(Math.Max(1, phones[i] >= 0 ? classFrames : otherFrames), mean);
            for (int j = 0; j < length; ++j) {
                phoneOfState.Add(i);
                pauseOf.Add(i);
                repeats.Add(j + 1 == length);
                first.Add(j == 0);
            }
        }
        int path = phoneOfState.Count;
        var total = new double[path];
        var next = new double[path];
        var emit = new double[path];
        // 0: stayed, 1: from the state before, 2: from the phone before, past its pause.
        var steps = new byte[(long)frames * path];
        for (int s = 0; s < path; ++s) total[s] = double.NegativeInfinity;
        Action<int> emissions = frame => {
            float[] row = rows[frame];
            double best = row[0];
            for (int s = 1; s < row.Length; ++s) best = Math.Max(best, row[s]);
            for (int s = 0; s < path; ++s) {
                if (phoneOfState[s] < 0) {
                    emit[s] = pause[pauseOf[s]] ? (double)row[silence] : double.NegativeInfinity;
                } else {
                    int label = phones[phoneOfState[s]];
                    double other = best - (double)otherPenalty;
                    emit[s] = label >= 0
                                  ? Math.Max((double)row[label], best - (double)mismatchFloor)
                                  : label <= SoundsLikeBase
                                        ? Math.Max((double)row[SoundsLike(label)], other)
                                  : label <= -3 ? Math.Max((double)row[silence], other)  // b, p
                                                : other;
                }
            }
        };
        emissions(0);
        total[0] = emit[0];
        total[1] = emit[1];
        for (int frame = 1; frame < frames; ++frame) {
            emissions(frame);
            long at = (long)frame * path;
            for (int s = 0; s < path; ++s) {
                double best = repeats[s] ? total[s] : double.NegativeInfinity;
                if (s >= 1 && total[s - 1] > best) {
                    best = total[s - 1];
                    steps[at + s] = 1;
                }
                if (first[s] && s >= 3 && total[s - 2] > best) {
                    best = total[s - 2];
                    steps[at + s] = 2;
                }
                next[s] = best + emit[s];
            }
            var swap = total;
            total = next;
            next = swap;
        }
        int state = total[path - 1] >= total[path - 2] ? path - 1 : path - 2;
        for (int frame = frames - 1; frame >= 0; --frame) {
            if (phoneOfState[state] < 0) {
                labels[frame] = silence;
            } else {
                int label = phones[phoneOfState[state]];
                if (label >= 0) {
                    labels[frame] = label;
                } else if (label <= -3 && label > SoundsLikeBase) {
                    labels[frame] = HeardAsOther(label);
                } else {
                    float[] row = rows[frame];
                    int best = 0;
                    for (int s = 1; s < row.Length; ++s) if (row[s] > row[best]) best = s;
                    labels[frame] = best;
                    if (said != null) said[frame] = false;
                }
                if (phoneOf != null) phoneOf[frame] = phoneOfState[state];
            }
            state -= steps[(long)frame * path + state];
        }
        return labels;
    }

    // The most states Align's path takes: a pause before each phone and after the last, and each
    // phone's fewest frames (the SDK's TranscriptAlignmentStates).
    public static long States(int[] transcript, int classFrames = ClassFrames,
                              int otherFrames = OtherFrames) {
        long states = 1;
        foreach (int label in transcript) {
            if (label != PauseMayFall)
                states += 1 + Math.Max(1, label >= 0 ? classFrames : otherFrames);
        }
        return states;
    }

    // The shapes of the consonants, by the phone's first symbol: cartoon, viseme, symbols (the
    // SDK's PhoneShape).
    static readonly string[][] PhoneShapes = {
        new[] {"A", "PP", "mɱbpɓʙ"}, new[] {"G", "FF", "fvɸβ"}, new[] {"B", "TH", "θð"},
        new[] {"B", "DD", "tdʈɖɗɾ"}, new[] {"B", "kk", "kgɡŋxɣqɢχcɟɠɰ"},
        new[] {"B", "CH", "ʃʒɕʑʂʐç"}, new[] {"B", "SS", "sz"},
        new[] {"B", "nn", "nɲɳɴ"}, new[] {"H", "nn", "lɫʎɭɬɮʟ"}, new[] {"B", "RR", "rɹʁʀɻɽ"},
        new[] {"E", "RR", "ɚɝ"}, new[] {"F", "ou", "wʍɥ"}, new[] {"B", "ih", "j"}};

    // The shape of `set` a consonant shows, -1 for the vowels, whose class gives their shape, and
    // for the phones whose sound does (schwa, h, a glottal stop).
    public static int PhoneShape(ShapeSet set, string phone) {
        if (string.IsNullOrEmpty(phone) || char.IsSurrogate(phone[0])) return -1;
        foreach (string[] entry in PhoneShapes) {
            if (entry[2].IndexOf(phone[0]) >= 0)
                return Vocetta.Shapes.Index(set, set == ShapeSet.Visemes ? entry[1] : entry[0]);
        }
        return -1;
    }

    // Per frame of an aligned line (`phoneOf`: Align's), the shape its phone of `ipa` shows, a
    // t or d before ʃ or ʒ being the affricate's CH in visemes; -1 where it has none (the SDK's
    // TranscriptShapes).
    public static int[] FrameShapes(string ipa, ShapeSet set, int[] phoneOf) {
        List<string> split = SplitIpa(ipa);
        var shapes = new List<int>();
        for (int i = 0; i < split.Count; ++i) {
            if (split[i] == WordBreak) continue;
            int shape = PhoneShape(set, split[i]);
            if (set == ShapeSet.Visemes && (split[i][0] == 't' || split[i][0] == 'd') &&
                i + 1 < split.Count && "ʃʒ".IndexOf(split[i + 1][0]) >= 0)
                shape = Vocetta.Shapes.Index(set, "CH");
            shapes.Add(shape);
        }
        var frames = new int[phoneOf.Length];
        for (int t = 0; t < frames.Length; ++t)
            frames[t] = phoneOf[t] >= 0 && phoneOf[t] < shapes.Count ? shapes[phoneOf[t]] : -1;
        return frames;
    }

    // The scores a mouth reads from an aligned line (the SDK's TranscriptScores): a said
    // phoneme's frame scores it alone, every other frame keeps its own.
    public static float[][] MouthScores(float[][] scores, int[] labels, bool[] said, int silence) {
        var mouth = new float[scores.Length][];
        for (int t = 0; t < scores.Length; ++t) {
            int label = t < labels.Length ? labels[t] : -1;
            if (t < said.Length && said[t] && label != silence && label >= 0 &&
                label < scores[t].Length) {
                mouth[t] = new float[scores[t].Length];
                mouth[t][label] = 1.0f;
            } else {
                mouth[t] = scores[t];
            }
        }
        return mouth;
    }
}

// A phone of a line's transcript where the alignment put it, or a pause ("sil" of word 0).
public struct PhoneSpan {
    public double Start, End;  // seconds
    public string Phone;       // IPA, as Transcript.SplitIpa gives it
    public int Word;           // which word of the transcript, from 1; 0 in a pause
}

// A word of a line where it is said, from its first phone's start to its last phone's end.
public struct WordSpan {
    public double Start, End;  // seconds
    public int Word;           // which word of the transcript, from 1
    public string Written;     // its written words, or its IPA where they are not known
    public string Ipa;
}

// A line's phones and words where it says them, as the tool's --phones writes them: subtitles
// that light each word as it is said, an event per word, or a rig with its own phone mapping.
public sealed class PhoneTimeline {
    public double Duration;    // seconds
    public PhoneSpan[] Phones;  // in order, covering the recording
    public string[] Words;     // each word's IPA
    public string[] Written;   // each word's written words, or its IPA where they are not known

    // The words where they are said, in order, the pauses between them left out: the tool's
    // --words rows.
    public WordSpan[] WordSpans() {
        var spans = new List<WordSpan>();
        foreach (PhoneSpan phone in Phones) {
            if (phone.Word <= 0 || phone.Word > Words.Length) continue;
            if (spans.Count > 0 && spans[spans.Count - 1].Word == phone.Word) {
                var last = spans[spans.Count - 1];
                last.End = phone.End;
                spans[spans.Count - 1] = last;
            } else {
                spans.Add(new WordSpan {Start = phone.Start, End = phone.End, Word = phone.Word,
                                        Written = Written[phone.Word - 1],
                                        Ipa = Words[phone.Word - 1]});
            }
        }
        return spans.ToArray();
    }

    // The word said at `seconds`: from 1, or 0 in a pause and outside the line.
    public int WordAt(double seconds) {
        int low = 0, high = Phones.Length;  // the first phone starting after `seconds`
        while (low < high) {
            int middle = (low + high) / 2;
            if (seconds < Phones[middle].Start) high = middle; else low = middle + 1;
        }
        return low == 0 || !(seconds < Phones[low - 1].End) ? 0 : Phones[low - 1].Word;
    }

    // The whole recording read as CueTrack.Bake reads it, aligned to `transcript` (IPA:
    // Transcript.Phonemise of its words), and the phones where the alignment put them: a phone's
    // span from halfway between the frame before it and its first frame to the same after its
    // last, the first from 0, the last to the recording's end. With `text`, the words that
    // transcript was phonemised from, each word is named by its written words
    // (Transcript.WrittenWords in `language`, with the same `literalText` and `speakerNames`).
    // VocettaException for
    // a transcript the profile cannot align, or a recording too short to say all its phones.
    public static PhoneTimeline Bake(Library library, Profile profile, float[] samples,
                                     int sampleRate, string transcript, string text = null,
                                     string language = "en-us", bool cleanNoise = true,
                                     double gateDb = -30.0, string buildSuffix = "",
                                     bool literalText = false, bool speakerNames = false) {
        if (transcript == null) throw new ArgumentNullException("transcript");
        var line = LineFrames.Analyse(library, profile, samples, sampleRate, cleanNoise, gateDb,
                                      buildSuffix, transcript);
        var phones = new List<string>();
        var wordOf = new List<int>();
        int word = 1;
        foreach (string phone in Transcript.SplitIpa(transcript)) {
            if (phone == Transcript.WordBreak) {
                ++word;
                continue;
            }
            phones.Add(phone);
            wordOf.Add(word);
        }
        int[] phoneOf = line.PhoneOf;
        int frames = Math.Min(line.Times.Length, phoneOf.Length);
        bool any = false;
        for (int t = 0; t < frames; ++t) any |= phoneOf[t] >= 0;
        if (!any)
            throw new VocettaException("too short to say its transcript's " + phones.Count +
                                       " phones: no phone timeline");
        var spans = new List<PhoneSpan>();
        int last = -2;
        for (int t = 0; t < frames; ++t) {
            int phone = phoneOf[t];
            if (phone == last) continue;
            last = phone;
            double start = t == 0 ? 0.0 : 0.5 * (line.Times[t - 1] + line.Times[t]);
            if (spans.Count > 0) {
                var before = spans[spans.Count - 1];
                before.End = start;
                spans[spans.Count - 1] = before;
            }
            bool said = phone >= 0 && phone < phones.Count;
            spans.Add(new PhoneSpan {Start = start, Phone = said ? phones[phone] : "sil",
                                     Word = said ? wordOf[phone] : 0});
        }
        var end = spans[spans.Count - 1];
        end.End = Math.Max(line.Duration, end.Start);
        spans[spans.Count - 1] = end;
        string[] words = Transcript.IpaWords(transcript).ToArray();
        return new PhoneTimeline {
            Duration = line.Duration, Phones = spans.ToArray(), Words = words,
            Written = text == null
                          ? words
                          : Transcript.WrittenWords(text, transcript, language, literalText,
                                                    speakerNames)};
    }
}

// A recording analysed as the tool analyses a file, for the cues and curves of whole lines.
internal sealed class LineFrames {
    public double[] Times;   // frame centres, seconds
    public float[] Volumes;
    public float[][] Scores;  // per frame, one per phoneme
    public double HopSeconds, Duration;
    public float Gate;        // the recording's silence level
    // The level the mouth rests under: Gate, unless the recording's labels found too little
    // speech for its level to be speech's (LiveLabels.MouthGate's rule over the whole line, as
    // the tool has it); then the mouth's own fixed level, so that room noise alone rests it.
    public float MouthGate;
    public bool[] Silence;    // per frame: the labels of the whole line call it silence
    string ipa;               // aligned to a transcript: it, and per frame the phone said
    int[] phoneOf;

    // Per frame, the shape of `set` the transcript says, or -1; null without a transcript.
    public int[] SaidShapes(ShapeSet set) {
        return phoneOf == null ? null : Transcript.FrameShapes(ipa, set, phoneOf);
    }

    // Per frame, the phone of the transcript it says (word breaks not counted), or -1.
    public int[] PhoneOf { get { return phoneOf; } }

    public static LineFrames Analyse(Library library, Profile profile, float[] samples,
                                     int sampleRate, bool cleanNoise, double gateDb,
                                     string buildSuffix, string transcript = null) {
        // As the tool refuses such a file: one NaN would make every score after it meaningless.
        for (int i = 0; i < samples.Length; ++i) {
            if (float.IsNaN(samples[i]) || float.IsInfinity(samples[i]))
                throw new VocettaException("samples[" + i + "] is not a finite number");
        }
        int[] phones = null;
        if (transcript != null) {
            phones = Transcript.Labels(transcript, profile);
            bool any = false, known = false;
            foreach (int label in phones) {
                any |= label != Transcript.PauseMayFall;
                known |= label >= 0 || (label <= -3 && label > Transcript.SoundsLikeBase);
            }
            if (!any) throw new VocettaException("the transcript has no phones to align");
            if (!known)
                throw new VocettaException("the profile's phonemes stand for none of the " +
                                           "transcript's phones (" + transcript + ")");
        }
        int hop = Math.Max(1, (int)Math.Round(0.01 * sampleRate, MidpointRounding.AwayFromZero));
        var times = new List<double>();
        var volumes = new List<float>();
        var scores = new List<float[]>();
        var bests = new List<int>();
        Action<Frame> keep = frame => {
            times.Add(frame.Time);
            volumes.Add(frame.Volume);
            scores.Add((float[])frame.Scores.Clone());
            bests.Add(frame.Best);
        };
        using (var analyzer = new Analyzer(library, profile, sampleRate, hop, buildSuffix,
                                           cleanNoise)) {
            analyzer.Push(samples, samples.Length, keep);
            analyzer.Finish(keep);
        }
        var line = new LineFrames {Times = times.ToArray(), Volumes = volumes.ToArray(),
                                   Scores = scores.ToArray(), HopSeconds = (double)hop / sampleRate,
                                   Duration = (double)samples.Length / sampleRate,
                                   Gate = LevelGate.OfRecording(volumes, gateDb)};
        if (phones != null &&
            (double)line.Times.Length * Transcript.States(phones) > 512.0 * 1024 * 1024)
            throw new VocettaException("too long to align with its transcript in one piece (" +
                                       line.Times.Length + " frames, " + phones.Length +
                                       " phones): split it into lines");
        line.Label(profile, bests, phones);
        if (phones != null) line.ipa = transcript;
        line.MouthGate = line.HeardSpeech((double)sampleRate / hop)
                             ? line.Gate
                             : new MouthSettings().SilenceVolume;
        return line;
    }

    // Where the tool's labels of the whole line (its gate, a switch cost of 2, or its transcript's
    // phones) are silence; aligned to a transcript, the scores become those the mouth reads.
    void Label(Profile profile, List<int> bests, int[] phones) {
        int states = ViterbiSmoother.StateCount(profile);
        int silence = ViterbiSmoother.SilenceIndex(profile);
        int[] labels;
        if (phones != null) {
            var rows = new float[Times.Length][];
            for (int t = 0; t < Times.Length; ++t) {
                rows[t] = new float[states];
                var frame = new Frame {Volume = Volumes[t], Best = bests[t], Scores = Scores[t]};
                ViterbiSmoother.FrameRow(profile, frame, Gate, rows[t]);
            }
            var said = new bool[Times.Length];
            phoneOf = new int[Times.Length];
            labels = Transcript.Align(rows, silence, phones, 2.0f, Transcript.OtherPenalty,
                                      Transcript.MismatchFloor, said, phoneOf);
            Scores = Transcript.MouthScores(Scores, labels, said, silence);
        } else {
            var smoother = new ViterbiSmoother(states, 2.0f, Math.Max(1, Times.Length - 1));
            var row = new float[states];
            for (int t = 0; t < Times.Length; ++t) {
                var frame = new Frame {Volume = Volumes[t], Best = bests[t], Scores = Scores[t]};
                ViterbiSmoother.FrameRow(profile, frame, Gate, row);
                smoother.Advance(row);  // the answers come once, from Path: not a walk per frame
            }
            labels = smoother.Path();
        }
        Silence = new bool[labels.Length];
        for (int t = 0; t < labels.Length; ++t)
            Silence[t] = labels[t] == silence;
    }

    // Speech in those labels, counted as LiveLabels.MouthGate counts a window's.
    bool HeardSpeech(double framesPerSecond) {
        int sounding = 0, speech = 0;
        for (int t = 0; t < Silence.Length; ++t) {
            if (!LevelGate.HasSound(Volumes[t])) continue;
            ++sounding;
            if (!Silence[t]) ++speech;
        }
        return LiveLabels.HeardSpeech(speech, sounding,
                                      LiveLabels.MouthSpeechFrames(framesPerSecond));
    }
}

// Numbers and names as the tool's files write them.
internal static class LineText {
    // printf's "%.Nf" for N up to 4: the double's exact value rounded, halves to even. A double
    // is m / 2^s, so value x 10^N is m x 5^N / 2^(s - N), and m x 5^4 still fits in 63 bits.
    public static string Fixed(double value, int decimals) {
        long bits = BitConverter.DoubleToInt64Bits(value);
        int exponent = (int)((bits >> 52) & 0x7FF);
        long mantissa = bits & 0xFFFFFFFFFFFFFL, power = 1;
        for (int d = 0; d < decimals; ++d) power *= 10;
        if (exponent == 0) exponent = 1; else mantissa |= 1L << 52;
        int shift = 1075 - exponent - decimals;
        long scaled = mantissa;
        for (int d = 0; d < decimals; ++d) scaled *= 5;
        long units;
        if (mantissa == 0 || shift > 63) {
            units = 0;  // under half a unit of the last place
        } else if (shift <= 0) {
            units = (long)Math.Round(Math.Abs(value) * power);  // 2^52 and up: whole already
        } else {
            long whole = scaled >> shift, remainder = scaled - (whole << shift);
            long half = 1L << (shift - 1);
            units = remainder > half || (remainder == half && (whole & 1) == 1) ? whole + 1 : whole;
        }
        string digits = (units / power).ToString(CultureInfo.InvariantCulture);
        if (decimals > 0) {
            digits += "." + (units % power).ToString(new string('0', decimals),
                                                     CultureInfo.InvariantCulture);
        }
        return bits < 0 ? "-" + digits : digits;
    }

    // A JSON string as the tool's writer escapes it: the short forms where JSON has them.
    public static string Quoted(string text) {
        var quoted = new StringBuilder("\"");
        foreach (char c in text) {
            switch (c) {
                case '"': quoted.Append("\\\""); break;
                case '\\': quoted.Append("\\\\"); break;
                case '\b': quoted.Append("\\b"); break;
                case '\f': quoted.Append("\\f"); break;
                case '\n': quoted.Append("\\n"); break;
                case '\r': quoted.Append("\\r"); break;
                case '\t': quoted.Append("\\t"); break;
                default:
                    if (c < 0x20) quoted.Append("\\u").Append(((int)c).ToString("x4"));
                    else quoted.Append(c);
                    break;
            }
        }
        return quoted.Append('"').ToString();
    }
}

}  // namespace Vocetta
