// vocetta info: what the library will run on this processor.
#include <cstdio>

#include "command.hpp"
#include "vocetta/library.hpp"

namespace Vocetta::Tool {

int RunInfo(const Arguments& arguments) {
    std::string path = Host::Library::DefaultPath();
    for (size_t i = 0; i < arguments.size(); ++i) {
        if (arguments[i] == "--library" && i + 1 < arguments.size()) {
            path = arguments[++i];
        } else if (arguments[i] == "--help") {
            std::printf("usage: vocetta info [--library PATH]\n");
            return kExitOk;
        } else {
            std::fprintf(stderr, "vocetta info: unknown option '%s'\n", arguments[i].c_str());
            return kExitUsage;
        }
    }
    const Host::Library library(path);
    std::printf("library:       %s\n", library.path().c_str());
    std::printf("feature level: %d\n", Host::ProcessorFeatureLevel());
    std::printf("build:         %s\n", Host::VariantName(Host::SelectedVariant()));
    std::printf("entries:       %zu\n", Host::EntryTable().size());
    for (const Host::EntryInfo& entry : Host::EntryTable()) {
        std::printf("  %2d  %s  %s\n", entry.order, entry.symbol, entry.name);
    }
    return kExitOk;
}

}  // namespace Vocetta::Tool
