// The transfer's decisions alone: what the next step is after each reply.

#include "app/workflow/Operations.h"
#include "link/DeviceLink.h"

#include <gtest/gtest.h>

TEST(Operations, LineRepliesDecideTheNextStepAlone)
{
    using A = LineAction;
    using R = TransferResult;
    struct Row {
        uint8_t status;
        LineCounters before;
        R soFar;
        A action;
        R result;
        LineCounters after;
    };
    const Row rows[] = {
        {STATUS_ACCEPTED, {2, 3}, R::Interrupted, A::Next, R::Interrupted, {0, 0}},
        {STATUS_BLOCK_DONE, {3, 1}, R::Interrupted, A::NextBlock, R::Done, {0, 0}},
        {STATUS_ACCEPTED, {0, 0}, R::Done, A::Next, R::Done, {0, 0}},
        {STATUS_COMPLETE, {0, 0}, R::Interrupted, A::End, R::Done, {0, 0}},
        {TRANSACT_FAILED, {2, 3}, R::Done, A::SendAgain, R::Done, {3, 3}},
        {TRANSACT_FAILED, {3, 0}, R::Done, A::End, R::ProtocolError, {4, 0}},
        {STATUS_REJECTED, {3, 2}, R::Done, A::SendAgain, R::Done, {3, 3}},
        {STATUS_REJECTED, {0, 3}, R::Done, A::End, R::ProtocolError, {0, 4}},
        {TRANSACT_TIMEOUT, {0, 0}, R::Done, A::End, R::Interrupted, {0, 0}},
        {TRANSACT_BAD_CHECKSUM, {0, 0}, R::Done, A::End, R::ProtocolError, {0, 0}},
        {STATUS_FLASH_ERROR, {0, 0}, R::Done, A::End, R::FlashError, {0, 0}},
        {'Z', {0, 0}, R::Done, A::End, R::ProtocolError, {0, 0}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << "status " << int(row.status));
        const LineVerdict verdict = JudgeLineReply(row.status, row.before, row.soFar);
        EXPECT_EQ(verdict.action, row.action);
        EXPECT_EQ(verdict.result, row.result);
        EXPECT_EQ(verdict.counters.errors, row.after.errors);
        EXPECT_EQ(verdict.counters.rejects, row.after.rejects);
    }
    EXPECT_EQ(TransferPercent(5, 4), 100);  // never past the end
    EXPECT_EQ(TransferPercent(0, 0), 100);
}
