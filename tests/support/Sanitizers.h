// Which sanitizer this test program was built with (scripts/test-sanitizers), for the few checks
// a sanitizer's runtime changes the meaning of.
#pragma once

constexpr bool underAddressSanitizer() {
#if defined(__SANITIZE_ADDRESS__)
    return true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
    return true;
#endif
#endif
    return false;
}

constexpr bool underThreadSanitizer() {
#if defined(__SANITIZE_THREAD__)
    return true;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
    return true;
#endif
#endif
    return false;
}
