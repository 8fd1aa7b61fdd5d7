/*
 * reconnect.cpp - opening a lost adapter again: the handle's settings, the
 * wait between attempts, finding the same adapter, the end of an outage.
 *
 * The drivers' reader threads drive it: a reader whose channel is lost and
 * whose handle has reconnection on sleeps kReconnectPauseMs between
 * attempts on its wake-up (a stop or pause ends the sleep at once), and on
 * each attempt probes the handle's name as KORVA_Open would.  The probe
 * uses a record of its own, so nothing of the lost record's state is
 * touched until the same adapter has answered.
 */
#include "reconnect.h"

#include "platform.h"

#include <cstring>

namespace {

/* Bit rate by speed code and by registers are one kind: either replaces
 * the other. */
uint32_t KindOf(uint32_t request) {
    return request == KORVA_IOCTL_SET_BTR ? uint32_t{KORVA_IOCTL_SET_SPEED} : request;
}

bool IsSetting(uint32_t request) {
    switch (request) {
    case KORVA_IOCTL_SET_SPEED:
    case KORVA_IOCTL_SET_BTR:
    case KORVA_IOCTL_SET_ACC_CODE_MASK:
    case KORVA_IOCTL_SET_FILTER_MODE:
    case KORVA_IOCTL_SET_TIMESTAMP:
    case KORVA_IOCTL_SET_DATA_BITRATE:
        return true;
    default:
        return false;
    }
}

/* Probes the record's name with the driver of its kind; true when the
 * handle's adapter answered there.  The probe's channel is closed
 * afterwards either way. */
bool ProbeForSameAdapter(const Device *dev, Device *probe) {
    GetDeviceType(probe);
    const DriverOps ops = DriverOfKind(probe->DeviceType);
    ops.ResetDevice(probe);
    const bool answered = ops.GetDeviceSerialNrNVersion(probe) == 0;
    if (answered && (probe->SerialNr != dev->SerialNr || probe->Dialect != dev->Dialect)) {
        TraceAt(UNIT_SYS, 720, KORVA_ERR_NO_DEVICE,
                "%s: another adapter answers there (serial number %u, dialect %d; the handle's has %u, %d): not taken",
                probe->SystemName, static_cast<unsigned>(probe->SerialNr), static_cast<int>(probe->Dialect),
                static_cast<unsigned>(dev->SerialNr), static_cast<int>(dev->Dialect));
        ReleaseChannelResources(probe);
        return false;
    }
    ReleaseChannelResources(probe);
    return answered;
}

/* The handle takes over the location where its adapter was found. */
void TakeLocation(Device *dev, const Device *found) {
    if (std::strcmp(dev->SystemName, found->SystemName) != 0) {
        TraceAt(UNIT_SYS, 722, KORVA_DEBUG_LEVEL_CALL + 1, "%s: the adapter is back as %s", dev->SystemName,
                found->SystemName);
        RenameDevice(dev, found->SystemName);
    }
    dev->DeviceType = found->DeviceType;
    std::memcpy(dev->HostName, found->HostName, sizeof dev->HostName);
    dev->Port = found->Port;
    dev->HwVersion = found->HwVersion;
    dev->SwVersion = found->SwVersion;
    dev->ConnectRetryAfter = 0;
    dev->StaleReplies = 0;
    dev->ReplyOwed = 0;
    dev->RxHave = 0;
}

/* The reader of a lost channel waits for its next attempt: false when it
 * was woken for something else (a stop, a pause, reconnection switched
 * off), which the caller must look at first. */
bool AwaitNextAttempt(Device *dev) {
    const int64_t due = PlatMonotonicMicros() + int64_t{kReconnectPauseMs} * 1000;
    for (;;) {
        if (AtomicLoad(dev->StopThread) || AtomicLoad(dev->PauseThread) || !AtomicLoad(dev->Reconnect)) return false;
        const int64_t left = due - PlatMonotonicMicros();
        if (left <= 0) return true;
        const int wake = dev->WakePipeOpen ? dev->WakePipe[0] : -1;
        if (PlatWaitReadableOrWake(-1, wake, static_cast<int>((left + 999) / 1000)) < 0)
            PlatSleepMicros(10000); // no wake-up to wait on: look again in a while
    }
}

/* The outage is over: counted, traced, and the handle is usable again. */
void EndOutage(Device *dev) {
    std::atomic_ref<uint32_t>(dev->Reconnections).fetch_add(1, std::memory_order_relaxed);
    AtomicStore(dev->ChannelLost, 0);
    TraceAt(UNIT_SYS, 724, KORVA_DEBUG_LEVEL_CALL + 1, "%s: the adapter is back, the settings made again",
            dev->SystemName);
    // An application that waits on the receive event hears of the return
    // as it heard of the loss.
    if (void *ev = AtomicLoad(dev->RcvEvent)) PlatPostEvent(ev, 1);
}

} // namespace

extern "C" {

void RememberSetting(Device *dev, uint32_t request, const void *argument) {
    if (!IsSetting(request)) return;
    Setting s{request, {0, 0}};
    switch (request) {
    case KORVA_IOCTL_SET_BTR: {
        const auto *btr = static_cast<const uint8_t *>(argument);
        s.Value[0] = btr[0];
        s.Value[1] = btr[1];
        break;
    }
    case KORVA_IOCTL_SET_ACC_CODE_MASK: {
        const auto *codeMask = static_cast<const uint32_t *>(argument);
        s.Value[0] = codeMask[0];
        s.Value[1] = codeMask[1];
        break;
    }
    default:
        s.Value[0] = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(argument));
        break;
    }
    uint32_t kept = 0;
    for (uint32_t i = 0; i < dev->SettingCount; ++i)
        if (KindOf(dev->Settings[i].Request) != KindOf(request)) dev->Settings[kept++] = dev->Settings[i];
    dev->Settings[kept++] = s;
    dev->SettingCount = kept;
}

bool FindAdapterAgain(Device *dev) {
    Device probe;
    InitDevice(&probe);
    std::memcpy(probe.SystemName, dev->SystemName, sizeof probe.SystemName);
    if (ProbeForSameAdapter(dev, &probe)) {
        TakeLocation(dev, &probe);
        return true;
    }
    // A quiet adapter has no serial number to be told apart by.
    if (!dev->FoundBySerial || dev->Dialect == KORVA_DIALECT_QUIET || AtomicLoad(dev->StopThread)) return false;
    Device *list[DEVICE_LIST_SIZE] = {};
    EnumDevices2List(list); // passes over the names of open handles, this one's included
    bool found = false;
    for (int i = 0; i < DEVICE_LIST_SIZE && list[i] != nullptr; ++i) {
        if (!found && list[i]->SerialNr == dev->SerialNr && list[i]->Dialect == dev->Dialect) {
            TakeLocation(dev, list[i]);
            found = true;
        }
        ReleaseChannelResources(list[i]);
    }
    FreeDeviceList(list);
    return found;
}

bool ReconnectUntilBack(Device *dev, bool (*attempt)(Device *dev)) {
    while (AwaitNextAttempt(dev)) {
        if (pthread_mutex_trylock(&dev->ConfigMutex) != 0) continue;
        const bool back = attempt(dev);
        if (back) EndOutage(dev);
        pthread_mutex_unlock(&dev->ConfigMutex);
        if (back) return true;
    }
    return false;
}

uint32_t FramesInText(const char *text, uint32_t length) {
    uint32_t frames = 0;
    for (uint32_t i = 0; i < length; ++i)
        if (text[i] == '\r') ++frames;
    return frames;
}

} // extern "C"
