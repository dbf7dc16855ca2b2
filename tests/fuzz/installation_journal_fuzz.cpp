#include "update/installation_journal.h"

#include "fuzz_support.h"

#include <stdexcept>

namespace fs = boost::filesystem;

// A record read back from the install folder may hold anything. Whatever it holds, it is either
// refused or every step it names stays below the folders its path is joined to, and a completed
// record is never read as an interrupted one.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    InstallationRecord record;
    try {
        record = parseJournal(bytes);
    } catch (const std::runtime_error&) {
        return 0;
    }
    const fs::path base = "/install/folder";
    for (const InstallStep& step : record.steps) {
        const std::string joined = (base / step.relative).lexically_normal().string();
        FUZZ_CHECK(joined.size() > base.string().size() + 1);
        FUZZ_CHECK(joined.compare(0, base.string().size() + 1, base.string() + "/") == 0);
        FUZZ_CHECK(step.kind == InstallStep::Kind::backup || !step.moved);
    }
    return 0;
}
