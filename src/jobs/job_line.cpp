// The current job line and the bounds of a handler's text inside it.
#include "jobs/job_line.h"

#include <cstring>
#include <functional>

JobLine g_job_line;

const JobLine* gp_connhandler_job_line() { return &g_job_line; }

// Pointers of unrelated objects are compared through std::less_equal, which orders them.
bool gb_ch_in_line(const char* p) {
    const char* begin = g_job_line.text.get();
    const std::less_equal<const char*> at_or_before;
    return begin != nullptr && p != nullptr && at_or_before(begin, p) &&
           at_or_before(p, begin + g_job_line.length);
}

uint32_t gu32_ch_text_size(const char* text) {
    if (text == nullptr) return 0;
    if (gb_ch_in_line(text)) {
        return g_job_line.length - static_cast<uint32_t>(text - g_job_line.text.get());
    }
    return static_cast<uint32_t>(strlen(text));
}
