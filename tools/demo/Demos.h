// The chapters of the demo host; main runs them in order.
#pragma once

void RunCacheDemo();
