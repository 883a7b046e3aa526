// The public header's symbol macros: one per entry of the entry list, named after its kernel, and
// each the name under which the built library exports the entry and its builds.
#include <gtest/gtest.h>

#include <cctype>
#include <set>
#include <string>

#include "support.hpp"

namespace Vocetta {
namespace {

using Testing::Library;

struct ListedEntry {
    const char* macro;   // how the list spells the symbol
    const char* symbol;  // what that spelling expands to
    const char* name;
};

#define VOCETTA_LISTED(order, symbol, name, Result, Parameters, Arguments) {#symbol, symbol, #name},
constexpr ListedEntry kListed[] = {VOCETTA_ENTRIES(VOCETTA_LISTED)};
#undef VOCETTA_LISTED

// The naming rule, worked out from the kernel's name: the leading underscore and a job's
// _Execute dropped, words split at each capital that follows a small letter, all upper case.
// The magnitude spectrum FFT is named for what it computes, since _FFT holds the plain name.
std::string ExpectedMacro(const std::string& name) {
    if (name == "FFT") return "VOCETTA_SYMBOL_MAGNITUDE_SPECTRUM";
    std::string stem = name[0] == '_' ? name.substr(1) : name;
    const std::string job = "_Execute";
    if (stem.size() > job.size() && stem.ends_with(job)) stem.resize(stem.size() - job.size());
    std::string macro = "VOCETTA_SYMBOL_";
    for (size_t i = 0; i < stem.size(); ++i) {
        const auto c = static_cast<unsigned char>(stem[i]);
        if (i > 0 && std::isupper(c) && std::islower(static_cast<unsigned char>(stem[i - 1]))) {
            macro += '_';
        }
        macro += static_cast<char>(std::toupper(c));
    }
    return macro;
}

TEST(PublicHeader, EverySymbolMacroIsNamedAfterItsKernel) {
    ASSERT_EQ(std::size(kListed), 23u);
    std::set<std::string> macros;
    for (const ListedEntry& entry : kListed) {
        EXPECT_EQ(entry.macro, ExpectedMacro(entry.name)) << entry.name;
        macros.insert(entry.macro);
    }
    EXPECT_EQ(macros.size(), std::size(kListed));
    // Spot checks by hand, so that the rule above is itself checked.
    EXPECT_STREQ(kListed[5].macro, "VOCETTA_SYMBOL_FFT");
    EXPECT_STREQ(kListed[9].macro, "VOCETTA_SYMBOL_LIP_SYNC_JOB");
    EXPECT_STREQ(kListed[22].macro, "VOCETTA_SYMBOL_UNROLL_RING_BUFFER");
}

TEST(PublicHeader, EverySymbolMacroIsExportedWithItsBuilds) {
    std::set<std::string> symbols;
    for (const ListedEntry& entry : kListed) {
        const std::string symbol = entry.symbol;
        symbols.insert(symbol);
        EXPECT_EQ(symbol.size(), 32u) << entry.macro;
        EXPECT_EQ(symbol.find_first_not_of("0123456789abcdef"), std::string::npos) << entry.macro;
        EXPECT_NE(Library().symbol(symbol.c_str()), nullptr) << entry.macro << " " << symbol;
        for (const Host::Variant variant : Host::kVariants) {
            const std::string built = symbol + Host::VariantSuffix(variant);
            EXPECT_NE(Library().symbol(built.c_str()), nullptr) << built;
        }
    }
    EXPECT_EQ(symbols.size(), std::size(kListed));
    // A few by hand, as the contract's entry table fixes them.
    EXPECT_STREQ(VOCETTA_SYMBOL_FFT, "1f185357d8f7184329fa69e18e086449");
    EXPECT_STREQ(VOCETTA_SYMBOL_MAGNITUDE_SPECTRUM, "3769af9721f0b3f0001f17d7e8d8334d");
    EXPECT_STREQ(VOCETTA_SYMBOL_LIP_SYNC_JOB, "c5a316b7c86bb17f6511d5c3a58d2180");
}

}  // namespace
}  // namespace Vocetta
