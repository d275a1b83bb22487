#pragma once

#include <QLockFile>

// Taking a QLockFile that a crash, a kill or a stranger may have left in the way.
namespace LockFiles {

enum class Claim {
    Taken, // this process holds the lock
    Held, // another live process holds it
    Unusable, // the folder cannot hold a lock
};

// Takes the lock without waiting. Whatever stands at its path that is not a regular file (a FIFO,
// a folder, a link) is moved aside unread, so that nothing blocks on it. A lock whose owner cannot
// be read (an empty or garbled file, as a start killed while writing it leaves), is no longer
// alive, or is another program that got its process number, is taken over. A live holder keeps a
// native lock on the file, so a takeover never removes the lock of one that runs. With Held,
// *holder is the holder's process number.
Claim claim(QLockFile &lock, qint64 *holder = nullptr);

} // namespace LockFiles
