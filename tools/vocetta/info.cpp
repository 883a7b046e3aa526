// vocetta info: what the library will run on this processor.
#include <cstdio>

#include "command.hpp"
#include "common.hpp"

namespace Vocetta::Tool {

int RunInfo(const Arguments& arguments) {
    std::string path;
    CommandLine line("info",
                     "Shows the processor's feature level, the build the library selects "
                     "for it and the library's entries.");
    AddLibraryOption(line, path);
    if (!line.Parse(arguments)) return kExitOk;
    const Host::Library library = OpenLibrary(path);
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
