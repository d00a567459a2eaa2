// The sliced wait under the run's cancellation: what a caller's wait
// procedure is handed, and how a request and a section end or hold it.

#include "device/core/kCancel.h"

#include <gtest/gtest.h>

#include <vector>

namespace
{

struct Parts {
    std::vector<uint32_t> handed;
    size_t comesAt; ///< the part in which the awaited thing comes
    kCancel* requestAfter;
};

bool sPart(uint32_t ms, void* reference)
{
    Parts* parts = (Parts*)reference;
    parts->handed.push_back(ms);
    if (parts->requestAfter)
        (void)kCancel_Request(parts->requestAfter);
    return parts->handed.size() == parts->comesAt;
}

TEST(CancelWait, SlicesTheWaitAndEndsAtTheNextCheckAfterARequest)
{
    kCancel cancel;
    ASSERT_EQ(kCancel_Init(&cancel), kErrNone);
    Parts whole = {{}, 0, nullptr};
    EXPECT_EQ(kCancel_Wait(nullptr, 500, sPart, &whole), kErrTimeout);
    EXPECT_EQ(whole.handed, std::vector<uint32_t>({500})) << "no record: one part";

    Parts comes = {{}, 2, nullptr};
    EXPECT_EQ(kCancel_Wait(&cancel, 60000, sPart, &comes), kErrNone);
    EXPECT_EQ(comes.handed, std::vector<uint32_t>({kCANCEL_SLICE_MS, kCANCEL_SLICE_MS}));

    Parts requested = {{}, 0, &cancel};
    EXPECT_EQ(kCancel_Wait(&cancel, 60000, sPart, &requested), kErrCancel);
    EXPECT_EQ(requested.handed.size(), 1u);

    kCancel_EnterSection(&cancel);
    Parts held = {{}, 3, nullptr};
    EXPECT_EQ(kCancel_Wait(&cancel, 60000, sPart, &held), kErrNone) << "held in a section";
    kCancel_LeaveSection(&cancel);
    EXPECT_EQ(kCancel_Wait(&cancel, 60000, sPart, &held), kErrCancel);
}

} // namespace
