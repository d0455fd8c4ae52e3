// Symbol export for libvelcache.so. The library is built with hidden visibility; every exported
// class and function carries VELCACHE_EXPORT.
#pragma once

#define VELCACHE_EXPORT __attribute__((visibility("default")))
