/* The bridge's own version and the version text it reports to OpenMAMA and
 * gives the client library. */
#ifndef TARNIX_MW_TARNIXGENRELEASEVERSION_H
#define TARNIX_MW_TARNIXGENRELEASEVERSION_H

#include <mama/mama.h>

#include <cstddef>

constexpr size_t TARNIX_VERSION_TEXT_SIZE = 256;
constexpr const char* TARNIX_PRODUCT_NAME = "Tarnix OpenMAMA Middleware Bridge";

struct TarnixVersionInfo
{
    char mVersion[TARNIX_VERSION_TEXT_SIZE];
    char mDateTime[TARNIX_VERSION_TEXT_SIZE];
    char mVariant[TARNIX_VERSION_TEXT_SIZE];
    const char* mProductName;
};

/* The bridge's version information, built once on first use. */
mama_status trxOpenmama_version_get(const TarnixVersionInfo** out);

/* Fills text with "<product> v<bridge> with Tarnix C API v<library>", or with
 * the library's text when an earlier build already customised it. With
 * customise, the library is told the text. */
mama_status tarnixBridgeImpl_buildVersion(char* text, size_t size, bool customise);

#endif
