#include "common/Retransmitter.h"

#include <cstring>
#include <new>

#include "winport/loop/ServiceLoop.h"

Retransmitter::~Retransmitter() {
    RemoveAll();
}

void Retransmitter::Configure(const RetransmitterConfig& config) {
    m_Config = config;
    UpdateTimer();
}

Retransmitter::Packet* Retransmitter::AddPacket(const void* data, int length, void* user,
                                                const PacketConfig* config) {
    if (length < 0)
        return nullptr;
    std::unique_ptr<Packet> packet;
    try {
        packet = std::make_unique<Packet>();
        packet->m_Data = std::make_unique<uint8_t[]>(static_cast<size_t>(length) + 1);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    packet->m_pUser = user;
    if (config) {
        packet->m_Config = *config;
    } else {
        packet->m_Config = PacketConfig{m_Config.m_nTransmissionLimit, m_Config.m_nInterval,
                                        m_Config.m_pfnSend, m_Config.m_pfnExpire};
    }
    packet->m_nLength = length;
    if (length)
        std::memcpy(packet->m_Data.get(), data, static_cast<size_t>(length));

    Packet* handle = packet.release();  // owned by the lists until FreePacket
    if (m_nInFlight < m_Config.m_nWindow) {
        EnterWindow(handle);
        Walk guard(m_Walks);  // the send function may destroy the engine
        Transmit(handle);
        if (!guard.Alive())
            return handle;
        UpdateTimer();
    } else {
        m_lstWaiting.PushBack(handle);
    }
    return handle;
}

void Retransmitter::RemovePacket(Packet* packet) {
    if (!packet)
        return;
    bool wasInFlight = packet->m_bInFlight;
    FreePacket(packet);
    if (!wasInFlight)
        return;
    if (!PromoteWaiting())
        return;
    UpdateTimer();
}

void Retransmitter::RemoveAll() {
    m_Walks.Cleared();
    while (Packet* packet = m_lstWaiting.PopFront())
        std::unique_ptr<Packet> owned(packet);
    while (Packet* packet = m_lstPackets.PopFront())
        std::unique_ptr<Packet> owned(packet);
    m_nInFlight = 0;
    UpdateTimer();
}

void Retransmitter::LockTransmission(BOOL lock) {
    if (lock) {
        ++m_nTransmissionLockCount;
    } else {
        if (m_nTransmissionLockCount <= 0)
            return;  // unbalanced unlock: the caller's error
        if (--m_nTransmissionLockCount == 0) {
            Walk walk(m_Walks);
            for (Packet* packet = m_lstPackets.Front(); packet && walk.Alive(); packet = walk.next) {
                walk.next = PacketList::Next(packet);
                packet->m_nTransmissions = 0;
                Transmit(packet);
            }
            if (!walk.Alive())
                return;
        }
    }
    UpdateTimer();
}

void Retransmitter::Transmit(Packet* packet) {
    if (m_nTransmissionLockCount != 0)
        return;
    ++packet->m_nTransmissions;
    packet->m_dwLastTransmission = winport::GetTickCount();
    packet->m_nTransmitSerial = ++m_nTransmitSerial;
    if (packet->m_Config.m_pfnSend)
        packet->m_Config.m_pfnSend(packet, packet->m_pUser, packet->m_Data.get(), packet->m_nLength);
}

void Retransmitter::EnterWindow(Packet* packet) {
    packet->m_bInFlight = true;
    ++m_nInFlight;
    m_lstPackets.PushBack(packet);
}

bool Retransmitter::PromoteWaiting() {
    Walk guard(m_Walks);  // a send function may destroy the engine
    while (!m_lstWaiting.Empty() && m_nInFlight < m_Config.m_nWindow) {
        Packet* packet = m_lstWaiting.PopFront();
        EnterWindow(packet);
        Transmit(packet);
        if (!guard.Alive())
            return false;
    }
    return true;
}

void Retransmitter::UpdateTimer() {
    if (m_nTransmissionLockCount != 0 || m_nInFlight == 0) {
        m_bTimerArmed = false;
        m_Timer.Kill();
        return;
    }
    if (!m_bTimerArmed)
        m_bTimerArmed = m_Timer.Set(m_Config.m_nTick, &Retransmitter::OnTick, this) != FALSE;
}

void Retransmitter::FreePacket(Packet* packet) {
    m_Walks.Removing(packet, PacketList::Next(packet));
    if (packet->m_bInFlight) {
        m_lstPackets.Remove(packet);
        --m_nInFlight;
    } else {
        m_lstWaiting.Remove(packet);
    }
    std::unique_ptr<Packet> owned(packet);
}

void Retransmitter::OnTick(void* user) {
    static_cast<Retransmitter*>(user)->Tick();
}

void Retransmitter::Tick() {
    m_bTimerArmed = false;
    const uint32_t now = winport::GetTickCount();
    // A packet sent while this walk runs (promoted by a removal, with the clock
    // moved on since `now`) would look due by the unsigned difference below.
    const uint64_t sentBefore = m_nTransmitSerial;
    Walk walk(m_Walks);
    for (Packet* packet = m_lstPackets.Front(); packet && walk.Alive(); packet = walk.next) {
        walk.next = PacketList::Next(packet);
        if (packet->m_nTransmitSerial > sentBefore)
            continue;
        // Unsigned difference: stays right across the wrap of the tick count.
        if (now - packet->m_dwLastTransmission < packet->m_Config.m_nInterval)
            continue;
        const PacketConfig& config = packet->m_Config;
        if (config.m_nTransmissionLimit != 0 && packet->m_nTransmissions >= config.m_nTransmissionLimit) {
            packet->m_nTransmissions = 0;
            if (config.m_pfnExpire)
                config.m_pfnExpire(packet, packet->m_pUser, packet->m_Data.get(), packet->m_nLength);
        } else {
            Transmit(packet);
        }
    }
    if (!walk.Alive())
        return;
    UpdateTimer();
}
