// Opened kernel files, shared across the process.
//
// A kernel's kind is found from its content: a DAF whose identification word
// is "DAF/SPK" (or the old "NAIF/DAF" with ND = 2, NI = 6) is an SPK,
// "DAF/PCK" a binary PCK, any other DAF is refused; every other file must be
// UTF-8 text and is read as a text kernel. DAFs are read as the toolkit
// reads them (DafRules::Toolkit): blank format words and BIG-IEEE files too.
//
// Each file is opened, mapped and validated once however many kernel sets
// hold it: a process-wide table keyed by the file's identity (device, inode,
// size, modification and change times) keeps weak references to the opened
// readers, so that a file is released when the last holder lets it go. A
// file rewritten in place is opened afresh: its change time moves on every
// write and cannot be set back (cp -p, rsync -t and touch -r restore the
// modification time only), and since file systems stamp times at a clock
// tick, a held reader is reused only when the file still shows the bytes it
// was built from (the DAF's structure, DafFingerprint; a text kernel's whole
// content).
#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <string>

#include "ck/ck.hpp"
#include "pck/pck.hpp"
#include "spk/spk.hpp"
#include "text/text_kernel.hpp"

namespace kernwerk {

class KernelFileError {
public:
    enum class Kind {
        Io,      // the file cannot be opened or read; os_errno() tells why when the system did
        Format,  // not a kernel of a known kind, or a malformed one
    };
    static KernelFileError io(std::string path, int os_errno);
    static KernelFileError io_text(std::string path, std::string reason);
    static KernelFileError format(std::string path, std::string reason);

    Kind kind() const noexcept { return kind_; }
    const std::string& message() const noexcept { return message_; }
    int os_errno() const noexcept { return errno_; }
    const std::string& path() const noexcept { return path_; }

private:
    KernelFileError(Kind kind, std::string path, std::string message, int os_errno)
        : kind_(kind), message_(std::move(message)), errno_(os_errno), path_(std::move(path)) {}
    Kind kind_;
    std::string message_;
    int errno_;
    std::string path_;
};

enum class KernelKind { Spk, Pck, Text, Ck };

// The identity of a file's content as the file system shows it.
struct FileIdentity {
    std::uint64_t device = 0, inode = 0, size = 0;
    std::int64_t mtime_ns = 0, ctime_ns = 0;
    bool operator==(const FileIdentity&) const = default;
};

// One opened, validated kernel file: exactly one of spk, pck and text is set,
// as `kind` says. Immutable once built, so any number of threads may read it.
struct OpenedKernel {
    KernelKind kind = KernelKind::Text;
    FileIdentity identity;
    std::string path;  // as first opened
    std::unique_ptr<const SpkFile> spk;
    std::unique_ptr<const PckFile> pck;
    std::unique_ptr<const TextKernel> text;
    std::unique_ptr<const CkFile> ck;  // kind Ck
    // A DAF's structure as read at open (null for text kernels): every query
    // compares it with the mapping (KernelSnapshot::check_unchanged).
    std::shared_ptr<const DafFingerprint> fingerprint;
    // A text kernel's content hash, compared before a held reader is reused.
    std::uint64_t text_hash = 0;
};

// The kernel at `path`, from the process-wide table when a file of the same
// identity is held open, else opened, classified and validated now.
// Thread-safe.
std::expected<std::shared_ptr<const OpenedKernel>, KernelFileError> open_kernel(const std::string& path);

// Files of the table still held by someone (for tests of sharing).
std::size_t open_kernel_count();

}  // namespace kernwerk
