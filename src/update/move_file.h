#pragma once

#include <boost/filesystem/path.hpp>

#include <functional>

class HeldFileWait;

// What a move may use besides its two names.
struct MoveRoom {
    // A name on the destination's volume that holds nothing of value, where a copy across volumes
    // is made whole before it takes the destination's name.
    boost::filesystem::path partial;
    // Where what stands at the destination goes when the system refuses to replace it (on Windows a
    // running program, the new Launcher itself, or a file another program holds): a fresh name on
    // the install folder's volume. Unset where nothing stands at the destination.
    std::function<boost::filesystem::path()> aside;
};

// The one way a file or link moves, waiting out a file held for a moment: a rename on one volume,
// replacing what stands at the destination; across volumes a copy to `room.partial`, flushed to the
// disk there and renamed to the destination, and only then the source removed. The copy is made
// once; only the steps after it are tried again.
//
// What is left:
// - when it returns, the entry under the destination's name only, whole;
// - when it raises (boost::filesystem::filesystem_error), the entry at its source, and nothing of
//   it under the destination's name or at `room.partial`; what stood at the destination is back
//   there, or at its aside name when it could not be put back, or, where it lay on another volume
//   than the aside name, removed: it was the installation's own, which a replacing rename would
//   have discarded just the same;
// - after a power cut at any moment, the entry under one name or both, never under none.
void moveFile(const boost::filesystem::path& from, const boost::filesystem::path& to, const MoveRoom& room,
              HeldFileWait& wait);
