#include "vocetta/library.hpp"

#include <dlfcn.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <utility>

#include "frame/cpu.h"
#include "vocetta/host_services.hpp"

namespace Vocetta::Host {

const std::vector<EntryInfo>& EntryTable() {
    static const std::vector<EntryInfo> table = {
#define VOCETTA_ENTRY_INFO(order, symbol, name, Result, Parameters, Arguments) \
    {order, symbol, #name},
        VOCETTA_ENTRIES(VOCETTA_ENTRY_INFO)
#undef VOCETTA_ENTRY_INFO
    };
    return table;
}

const char* VariantName(Variant variant) {
    switch (variant) {
#define VOCETTA_VARIANT_NAME(name, Name, firstLevel, lastLevel, extensions) \
    case Variant::Name:                                                     \
        return #name;
        VOCETTA_BUILDS(VOCETTA_VARIANT_NAME)
#undef VOCETTA_VARIANT_NAME
    }
    return "";
}

const char* VariantSuffix(Variant variant) {
    switch (variant) {
#define VOCETTA_VARIANT_SUFFIX(name, Name, firstLevel, lastLevel, extensions) \
    case Variant::Name:                                                       \
        return "_" #name;
        VOCETTA_BUILDS(VOCETTA_VARIANT_SUFFIX)
#undef VOCETTA_VARIANT_SUFFIX
    }
    return "";
}

// The library's own probe, compiled into the SDK from the same source.
int32_t ProcessorFeatureLevel() {
    Frame::CpuModel model{};
    Frame::ProbeProcessor(model, Frame::HardwareQueries());
    return Frame::FeatureLevel(model.features);
}

Variant SelectedVariant() {
    return static_cast<Variant>(Frame::SelectedBuild(ProcessorFeatureLevel()));
}

// Each build needs a subset of what the later ones need.
bool Supports(Variant variant) {
    return variant <= SelectedVariant();
}

void* Library::DefaultResolver(const char* name) {
    if (std::strcmp(name, VOCETTA_SERVICE_MALLOC_TRACKED) == 0) {
        return reinterpret_cast<void*>(&MallocTracked);
    }
    if (std::strcmp(name, VOCETTA_SERVICE_FREE_TRACKED) == 0) {
        return reinterpret_cast<void*>(&FreeTracked);
    }
    if (std::strcmp(name, VOCETTA_SERVICE_ABORT) == 0) return reinterpret_cast<void*>(&Abort);
    return nullptr;
}

std::string Library::DefaultPath() {
    if (const char* path = std::getenv("VOCETTA_LIBRARY"); path != nullptr && *path != '\0') {
        return path;
    }
    std::error_code error;
    const auto executable = std::filesystem::read_symlink("/proc/self/exe", error);
    if (!error) {
        for (const auto* relative : {"libvocetta.so", "../lib/libvocetta.so",
                                     "../" VOCETTA_INSTALL_LIBDIR "/libvocetta.so"}) {
            const auto candidate = executable.parent_path() / relative;
            if (std::filesystem::exists(candidate, error)) return candidate.lexically_normal();
        }
    }
    return "libvocetta.so";  // left to the dynamic loader's search path
}

Library::Library(const std::string& path, VocettaResolver resolver) : path_(path) {
    handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) {
        const char* reason = dlerror();
        throw LibraryError(
            path + ": cannot load the library: " + (reason != nullptr ? reason : "unknown error"));
    }
    initialize_ = reinterpret_cast<VocettaInitialize>(symbol(VOCETTA_INITIALIZE_SYMBOL));
    if (initialize_ == nullptr) {
        close();
        throw LibraryError(path + ": not a vocetta library (no " VOCETTA_INITIALIZE_SYMBOL ")");
    }
    std::string missing;
    auto find = [&](const std::string& name) {
        void* address = symbol(name.c_str());
        if (address == nullptr) missing += (missing.empty() ? "" : ", ") + name;
        return address;
    };
#define VOCETTA_LOOK_UP(order, symbol, name, Result, Parameters, Arguments) \
    forwarders_.name = reinterpret_cast<VocettaEntry##name>(find(symbol));
    VOCETTA_ENTRIES(VOCETTA_LOOK_UP)
#undef VOCETTA_LOOK_UP
    for (Variant variant : kVariants) {
        Entries& entries = variants_[static_cast<size_t>(variant)];
        const std::string suffix = VariantSuffix(variant);
#define VOCETTA_LOOK_UP_VARIANT(order, symbol, name, Result, Parameters, Arguments) \
    entries.name = reinterpret_cast<VocettaEntry##name>(find(symbol + suffix));
        VOCETTA_ENTRIES(VOCETTA_LOOK_UP_VARIANT)
#undef VOCETTA_LOOK_UP_VARIANT
    }
    if (!missing.empty()) {
        close();
        throw LibraryError(path + ": the library lacks entries this SDK needs: " + missing);
    }
    initialize(resolver);
}

Library::~Library() {
    close();
}

Library::Library(Library&& other) noexcept
    : path_(std::move(other.path_)),
      handle_(std::exchange(other.handle_, nullptr)),
      initialize_(other.initialize_),
      forwarders_(other.forwarders_),
      variants_(other.variants_) {}

Library& Library::operator=(Library&& other) noexcept {
    if (this != &other) {
        close();
        path_ = std::move(other.path_);
        handle_ = std::exchange(other.handle_, nullptr);
        initialize_ = other.initialize_;
        forwarders_ = other.forwarders_;
        variants_ = other.variants_;
    }
    return *this;
}

void Library::initialize(VocettaResolver resolver) const {
    initialize_(resolver);
}

void* Library::symbol(const char* name) const {
    return dlsym(handle_, name);
}

void Library::close() {
    if (handle_ != nullptr) dlclose(handle_);
    handle_ = nullptr;
}

}  // namespace Vocetta::Host
