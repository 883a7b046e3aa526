// Loading libvocetta and calling its entries by name.
//
//     Vocetta::Host::Library library(Vocetta::Host::Library::DefaultPath());
//     float peak = library.entries()._PeakMagnitude(samples, count);
//
// The constructor opens the shared object, initialises it once with the SDK's services
// (host_services.hpp) and looks up every entry: the forwarders that follow the library's own
// choice of build, and every build's variant symbols for tests and benchmarks.
#pragma once

#include <vocetta/vocetta.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

namespace Vocetta::Host {

// Every entry of the library, as typed function pointers named after the library's kernels.
struct Entries {
#define VOCETTA_ENTRY_MEMBER(order, symbol, name, Result, Parameters, Arguments) \
    VocettaEntry##name name = nullptr;
    VOCETTA_ENTRIES(VOCETTA_ENTRY_MEMBER)
#undef VOCETTA_ENTRY_MEMBER
};

struct EntryInfo {
    int order;           // position in the dispatch table, 1 to 23
    const char* symbol;  // the forwarder's exported name
    const char* name;    // the kernel's name
};
// The entries this SDK knows, in table order.
const std::vector<EntryInfo>& EntryTable();

// The library's builds, in the order of VOCETTA_BUILDS (the baseline first).
enum class Variant {
#define VOCETTA_VARIANT_ENUMERATOR(name, Name, firstLevel, lastLevel, extensions) Name,
    VOCETTA_BUILDS(VOCETTA_VARIANT_ENUMERATOR)
#undef VOCETTA_VARIANT_ENUMERATOR
};
inline constexpr Variant kVariants[] = {
#define VOCETTA_VARIANT_VALUE(name, Name, firstLevel, lastLevel, extensions) Variant::Name,
    VOCETTA_BUILDS(VOCETTA_VARIANT_VALUE)
#undef VOCETTA_VARIANT_VALUE
};
inline constexpr size_t kVariantCount = std::size(kVariants);
const char* VariantName(Variant variant);    // "x64_sse2", "avx2"
const char* VariantSuffix(Variant variant);  // "_x64_sse2", "_avx2"

// The processor's feature level (0 to 6) as the library's probe computes it, and the build the
// library selects for it.
int32_t ProcessorFeatureLevel();
Variant SelectedVariant();
// True when this processor can run `variant`.
bool Supports(Variant variant);

class LibraryError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

class Library {
  public:
    // Answers the three service names with the SDK's services, anything else with null.
    static void* DefaultResolver(const char* name);

    // libvocetta.so beside the running executable, or in ../lib or the installed library
    // directory from it, else the dynamic loader's search; $VOCETTA_LIBRARY wins.
    static std::string DefaultPath();

    // Opens and initialises the library at `path`. `resolver` is what the library's
    // initialisation calls; a test may pass its own to watch the lookups.
    explicit Library(const std::string& path, VocettaResolver resolver = &DefaultResolver);
    ~Library();
    Library(Library&& other) noexcept;
    Library& operator=(Library&& other) noexcept;
    Library(const Library&) = delete;
    Library& operator=(const Library&) = delete;

    const Entries& entries() const { return forwarders_; }  // what a host calls
    const Entries& variant(Variant variant) const {
        return variants_[static_cast<size_t>(variant)];
    }
    // Runs duzuv.initialize again with `resolver`.
    void initialize(VocettaResolver resolver) const;
    // Any symbol of the library by its raw name, null when absent.
    void* symbol(const char* name) const;
    const std::string& path() const { return path_; }

  private:
    void close();

    std::string path_;
    void* handle_ = nullptr;
    VocettaInitialize initialize_ = nullptr;
    Entries forwarders_;
    std::array<Entries, kVariantCount> variants_;
};

}  // namespace Vocetta::Host
