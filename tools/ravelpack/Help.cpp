#include "tools/ravelpack/Help.h"

const char* const HelpText = R"(usage:
  ravelpack build --launcher FILE --out FILE [options]
  ravelpack inspect [--json] FILE
  ravelpack --help

build: writes a setup package: a copy of the launcher (a PE32 file whose bytes 128 to 255
are zero and that has nothing behind its last section), then the 74-byte header, the
compressed engines, the three message texts and the engine data; the locator goes to
offset 128 and the PE checksum is recomputed. The output appears only when complete.

  --launcher FILE            the launcher executable (required)
  --out FILE                 the package to write (required)
  --engine32 FILE            the 32-bit setup engine (below 2^31 bytes)
  --engine64 FILE            the 64-bit setup engine; at least one engine is required
  --refuse-64bit-windows     no 64-bit engine, and 64-bit Windows is refused
                             (needs --engine32, excludes --engine64)
  --engine-data FILE         data for the engine, behind the messages (default: a small
                             fixed block); the first 64 KiB lie in the checked region
  --expires YYYY-MM-DD       first day on which the package refuses to run (default: never)
  --windows LIST             comma-separated Windows versions allowed, of: 95, 98, me, nt4,
                             2000, xp, vista, 7, 8, 8.1, 10, 11, later (default: all)
  --win10-releases MIN-MAX   allowed Windows 10 releases, year*100+month (default 1507-9999;
                             a maximum of 9999 or more admits all newer releases)
  --win11-releases MIN-MAX   allowed Windows 11 releases (default 2110-9999)
  --elevation MODE           none, require-admin or no-admin (default none); how a silent
                             run is started through the shell. A number 0 to 255 is written
                             as given (for tests of unknown modes)
  --detach                   the launcher neither waits for the engine nor deletes its copy
                             (DetachSize = the package's length)
  --expiry-message TEXT      shown when the package has expired
  --bitness-message TEXT     shown when no engine suits the bitness of Windows
  --windows-message TEXT     shown on a Windows version not allowed; %USER% stands for
                             the name of the running Windows
                             (texts are UTF-8, stored as UTF-16LE, at most 65535 units)
  --preset N[e]              LZMA preset 0 to 9, "e" for the extreme variant (default 6)
  --lc N --lp N --pb N       LZMA literal context / literal position / position bits
                             (lc + lp <= 4, pb <= 4; default: the preset's 3, 0, 2)
  --dict-size BYTES          LZMA dictionary size, 4096 to 1610612736 (default: the
                             preset's, but no larger than the largest engine needs)
  --end-marker               end each payload with an LZMA end marker (for tests; a
                             package normally has none)

test options: write header values the options above refuse or compute. The payloads are
still encoded with the real settings and the CRC covers what is written, so a package
fails exactly where the value is wrong. N is decimal or 0x-prefixed hexadecimal.
  --raw-props N              LzmaProps byte (0 to 255)
  --raw-dict-size N          DictSize
  --raw-unpacked-size32 N    Payload32.UnpackedSize     --raw-unpacked-size64 N
  --raw-packed-size32 N      Payload32.PackedSize       --raw-packed-size64 N
  --raw-offset64 N           Payload64.Offset
  --raw-windows-set N        WindowsSet as a 64-bit number (bit n = element n)
  --raw-expiry Y-M-D         ExpiryYear, ExpiryMonth, ExpiryDay unchecked (0 to 65535 each)
  --raw-win10-releases A-B   release bounds unchecked (A may exceed B)
  --raw-win11-releases A-B

inspect: prints the locator and every header field, the message texts, and checks what
the launcher checks: the size test (DetachSize in place of MinFileSize when nonzero), the
CRC of the checked region, and that each payload decodes to exactly UnpackedSize bytes.
  --json                     print the fields and the verdict as one JSON object

exit status: build 0 written, 2 refused (one line on stderr, no output file);
inspect 0 the package passes, 1 it does not (the reason on stdout), 2 unreadable file.
)";
