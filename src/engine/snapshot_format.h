// Constants of the snapshot archive, its "manifest.json" and the checkpoint
// repository layout. Byte-level description: docs/formats.md.
#pragma once

#include <cstdint>

namespace qvn::snapshot {

inline constexpr char kManifestName[] = "manifest.json";
inline constexpr char kStateDir[] = "engine_state";

inline constexpr char kMagic[] = "qvn!";
inline constexpr uint8_t kFormatVersion = 1;
inline constexpr char kQuantizationCodec[] = "q4";
inline constexpr char kKeyCodec[] = "top5avg";

inline constexpr uint64_t kManifestCap = 1048576;        // 1 MiB
inline constexpr uint64_t kStateFileCap = 17179869184;   // 16 GiB

// Header values of the archive. The manifest header keeps a zero mtime; the
// state entries carry a fixed one so archives of equal state compare equal.
inline constexpr uint32_t kTarBlock = 512;
inline constexpr int64_t kStateMtime = 1153704088;
inline constexpr uint32_t kManifestMode = 0644;
inline constexpr uint32_t kDirMode = 0755;
inline constexpr uint32_t kExecFileMode = 0755;
inline constexpr uint32_t kFileMode = 0644;

// Checkpoint repository: root/label/{seq:0>4}.tar
inline constexpr char kCheckpointExtension[] = "tar";
inline constexpr int kCheckpointSeqWidth = 4;

}  // namespace qvn::snapshot
