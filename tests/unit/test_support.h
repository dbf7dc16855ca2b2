#pragma once

#include <boost/filesystem/fstream.hpp>
#include <boost/filesystem/operations.hpp>
#include <boost/filesystem/path.hpp>

#include <string>

// A literal in the native text form of file-system paths: wide on Windows, bytes elsewhere.
#ifdef _WIN32
#define NATIVE(text) L##text
#else
#define NATIVE(text) text
#endif

// A fresh empty folder below the temporary folder, removed with everything in it on destruction.
class TempFolder {
public:
    TempFolder()
        : path_(boost::filesystem::temp_directory_path() /
                boost::filesystem::unique_path("launcher-unit-%%%%-%%%%-%%%%"))
    {
        boost::filesystem::create_directories(path_);
    }
    ~TempFolder()
    {
        boost::system::error_code ignored;
        boost::filesystem::remove_all(path_, ignored);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    const boost::filesystem::path& path() const { return path_; }

private:
    boost::filesystem::path path_;
};

inline const boost::filesystem::path& makeFolder(const boost::filesystem::path& folder)
{
    boost::filesystem::create_directories(folder);
    return folder;
}

inline const boost::filesystem::path& makeFile(const boost::filesystem::path& file,
                                               const std::string& content = "x")
{
    boost::filesystem::create_directories(file.parent_path());
    boost::filesystem::ofstream(file, std::ios::binary) << content;
    return file;
}
