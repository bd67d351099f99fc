// The TLS files named by --cafile, --cert and --key, checked when the bridge starts: a file that cannot be
// used is bad usage said at once, not a TLS error repeated at every reconnect (or, for a FIFO, a start that
// never ends).
#pragma once

#include <string>

namespace mqtt {

// What is wrong with the files (empty names are not given), or an empty text. The CA file and certificate
// must be regular files; the key must be a secret file (see CheckedFile.h) holding a PEM private key without
// a passphrase that matches the certificate's public key.
std::string tlsFilesProblem(const std::string &cafile, const std::string &certfile,
                            const std::string &keyfile);

} // namespace mqtt
