// Setting the intake's record up, and the control messages it sends back upstream.
#include "intake/intake.h"

#include <cerrno>
#include <cstring>
#include <new>

#include "core/log.h"
#include "core/timespec.h"
#include "intake/default_recovery.h"

int intake_init(Intake* in, RelayContext* ctx, bool http_mode, std::atomic<int>* isock,
                IntakeHooks hooks) {
    in->ctx = ctx;
    in->http_mode = http_mode;
    in->isock = isock;
    in->hooks = hooks;
    in->send_pos.store(-1);
    in->scan_base.store(0);
    ctx->psbuf = &in->sbuf;
    ctx->psend_pos = &in->send_pos;
    ctx->pcurseq = &in->scan_base;
    for (int i = 0; i < kDrainBatch; ++i) {
        in->arrival_iov[i] = iovec{&in->arrivals[i], kMaxDatagram};
        in->arrival_msgs[i] = mmsghdr{};
        in->arrival_msgs[i].msg_hdr.msg_iov = &in->arrival_iov[i];
        in->arrival_msgs[i].msg_hdr.msg_iovlen = 1;
    }
    in->recovery.reset(new (std::nothrow) DefaultRecovery);
    return in->recovery != nullptr ? 0 : -1;
}

int intake_send_control(Intake* in, int len) {
    // The loop's own socket (0 once a stream has ended).
    const int fd = in->isock->load(std::memory_order_relaxed);
    if (fd == 0)
        return 0;
    return static_cast<int>(send(fd, &in->ctl, static_cast<size_t>(len), MSG_DONTWAIT));
}

void send_keepalive(Intake* in) {
    Timespec32 now{0, 0};
    timespec_now(&now);
    if (intake_send_control(in, build_keepalive(&in->ctl, now)) < 0)
        relay_log("Error sending keepalive: %s\n", strerror(errno));
}
