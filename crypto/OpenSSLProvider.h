#pragma once
// OpenSSL providers of the process. Single DES and PKCS#12 files protected with the old
// algorithms (RC2-40, 3DES key derivation) live in OpenSSL's "legacy" provider, and loading any
// provider explicitly drops the implicit "default" one, so both are loaded together, once per
// process, from any thread. Every use of DES or of a PKCS#12 file calls this first.
#include <cstdint>

// ORVA_OK, or 0x81000006 when either provider cannot be loaded (then DES and legacy PKCS#12
// stay unavailable; everything else keeps working on the implicit default provider).
uint32_t OrvaLoadLegacyProvider();
