#include "update/record_reader.h"

#include "fuzz_support.h"

namespace fs = boost::filesystem;

// A record read back from the install folder may hold anything. Whatever it holds, it reads back
// without an error, and every step it names stays below the folders its path is joined to.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const InstallationRecord record = parseRecord(std::string(reinterpret_cast<const char*>(data), size));
    const fs::path base = "/install/folder";
    for (const InstallStep& step : record.steps) {
        const std::string joined = (base / step.relative).lexically_normal().string();
        FUZZ_CHECK(joined.size() > base.string().size() + 1);
        FUZZ_CHECK(joined.compare(0, base.string().size() + 1, base.string() + "/") == 0);
    }
    return 0;
}
