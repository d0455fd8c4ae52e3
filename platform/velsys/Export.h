// Symbol export for libvelplatform.so. The library is built with hidden visibility; every
// class and function that a host or libvelcache.so calls carries VELPLATFORM_EXPORT.
#pragma once

#define VELPLATFORM_EXPORT __attribute__((visibility("default")))
