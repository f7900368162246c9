#include "sim/SimUpload.h"

#include "sim/SimAppFile.h"

namespace oskan::sim {

namespace {

constexpr size_t kBlockFrameBytes = 3 + SimUpload::kBlockBytes;
constexpr const char* kRefused = "E";

SimHandlers::Handler StartHandler(SimUploadKind kind) {
    return [kind](SimDevice& device, const SimCommand& command, std::vector<std::string>& replies) {
        const std::string_view name = kind == SimUploadKind::Application ? "Q" : "QF";
        if (command.text != name) {
            replies.push_back(device.UnknownReply());
            return;
        }
        replies.push_back(device.Upload().Start(kind, command.id.value_or(0)));
    };
}

SimHandlers::Handler FinishHandler(SimUploadKind kind) {
    return [kind](SimDevice& device, const SimCommand& command, std::vector<std::string>& replies) {
        const std::string_view name = kind == SimUploadKind::Application ? "T" : "N";
        if (command.text != name) {
            replies.push_back(device.UnknownReply());
            return;
        }
        replies.push_back(device.Upload().Finish(&device, kind, command.id.value_or(0)));
    };
}

// Data blocks arrive raw; a text request that merely begins with "D" is an
// unknown command.
SimHandlers::Handler BlockHandler(uint16_t ackOffset) {
    return [ackOffset](SimDevice& device, const SimCommand& command, std::vector<std::string>& replies) {
        if (command.body.size() != kBlockFrameBytes) {
            TextCommand text = SplitRequestId(command.body);
            if (text.id)
                replies.push_back(device.UnknownReply() + FormatRequestId(*text.id));
            return;
        }
        const auto* bytes = reinterpret_cast<const uint8_t*>(command.body.data());
        const uint16_t number = static_cast<uint16_t>(bytes[1] << 8 | bytes[2]);
        replies.push_back(device.Upload().Block(number, bytes + 3, ackOffset));
    };
}

SimHandlers::Handler ConfirmHandler(SimHandlers::Handler previous) {
    return [previous](SimDevice& device, const SimCommand& command, std::vector<std::string>& replies) {
        if (command.text == "EC") {
            std::optional<std::string> reply = device.Upload().Confirm(command.id.value_or(0));
            if (reply && *reply != "A") {
                replies.push_back(*reply);
                return;
            }
        }
        // Taken or not, "EC" is also the reboot: the new firmware starts.
        if (previous)
            previous(device, command, replies);
        else
            replies.emplace_back("A");
    };
}

SimHandlers::Handler FixedFirmwareEndHandler(SimHandlers::Handler previous) {
    return [previous](SimDevice& device, const SimCommand& command, std::vector<std::string>& replies) {
        if (command.text == "E" && !command.id) {
            if (device.Upload().TakeFirmware())
                device.RequestReboot();
            return;  // a bare "E" is never answered
        }
        if (previous)
            previous(device, command, replies);
        else
            replies.push_back(device.UnknownReply());
    };
}

SimHandlers::Handler Registered(const SimHandlers& handlers, std::string_view prefix) {
    const SimHandlers::Entry* entry = handlers.Find(prefix);
    return entry && entry->prefix == prefix ? entry->handler : SimHandlers::Handler();
}

}  // namespace

// ---------------------------------------------------------------- SimUpload

std::string SimUpload::Ack(char code, uint16_t number) {
    return std::string{code, static_cast<char>(number >> 8), static_cast<char>(number & 0xFF)};
}

std::string SimUpload::Start(SimUploadKind kind, uint32_t id) {
    // The host repeats the start until its answer arrives.
    if (m_phase == Phase::Receiving && m_kind == kind && m_startId == id)
        return "A";
    m_finishId.reset();
    m_confirmId.reset();
    m_refusedBlock.reset();
    m_received.clear();
    m_expected = 0;
    if (m_refusals.start != 'A') {
        m_phase = Phase::Idle;
        return std::string(1, m_refusals.start);
    }
    m_phase = Phase::Receiving;
    m_kind = kind;
    m_startId = id;
    return "A";
}

std::string SimUpload::Block(uint16_t number, const uint8_t* data, uint16_t ackOffset) {
    const uint16_t ack = static_cast<uint16_t>(number + ackOffset);
    // The refused block again: its refusal was lost, or not taken.
    if (m_phase == Phase::Idle && m_refusedBlock == number)
        return m_refusalReply;
    if (m_phase != Phase::Receiving)
        return Ack('S', ack);
    // The previous block again: its acknowledgement was lost.
    if (m_expected > 0 && number == m_expected - 1)
        return Ack('A', ack);
    if (number != m_expected)
        return Ack('S', ack);
    if (m_refusals.block == number || number >= m_capacity) {
        m_phase = Phase::Idle;
        m_refusedBlock = number;
        m_refusalReply =
            Ack(number >= m_capacity ? 'O' : m_refusals.blockCode, m_refusals.blockCodeNumber.value_or(ack));
        return m_refusalReply;
    }
    m_received.insert(m_received.end(), data, data + kBlockBytes);
    ++m_expected;
    return Ack('A', ack);
}

std::string SimUpload::Finish(SimDevice* device, SimUploadKind kind, uint32_t id) {
    if (m_finishId == id)
        return m_finishReply;
    if (m_phase != Phase::Receiving || m_kind != kind)
        return kRefused;
    const char code = m_refusals.finish;
    if (code != 'A')
        m_phase = Phase::Idle;
    else if (kind == SimUploadKind::Application)
        Commit(device);
    else
        m_phase = Phase::AwaitingConfirm;
    m_finishId = id;
    m_finishReply = std::string(1, code);
    return m_finishReply;
}

std::optional<std::string> SimUpload::Confirm(uint32_t id) {
    if (m_confirmId == id)
        return m_confirmReply;
    if (m_phase != Phase::AwaitingConfirm)
        return std::nullopt;
    if (m_refusals.confirm == 'A')
        Commit(nullptr);
    else
        m_phase = Phase::Idle;
    m_confirmId = id;
    m_confirmReply = std::string(1, m_refusals.confirm);
    return m_confirmReply;
}

bool SimUpload::TakeFirmware() {
    if (m_phase != Phase::AwaitingConfirm)
        return false;
    Commit(nullptr);
    return true;
}

void SimUpload::Commit(SimDevice* device) {
    m_image = m_received;
    m_imageKind = m_kind;
    m_phase = Phase::Idle;
    ++m_completed;
    if (device && m_kind == SimUploadKind::Application)
        device->SetBuildId(ReadAppString(m_image, kAppBuildIdField));
}

// ---------------------------------------------------------------- handlers

void AddUploadHandlers(SimHandlers& handlers) {
    handlers.Add("Q", StartHandler(SimUploadKind::Application));
    handlers.Add("QF", StartHandler(SimUploadKind::Firmware));
    handlers.Add("D", BlockHandler(0), SimHandlers::Kind::Binary);
    handlers.Add("T", FinishHandler(SimUploadKind::Application));
    handlers.Add("N", FinishHandler(SimUploadKind::Firmware));
    handlers.Add("EC", ConfirmHandler(Registered(handlers, "EC")));
}

std::shared_ptr<const SimHandlers> FixedFirmwareHandlers() {
    static const std::shared_ptr<const SimHandlers> handlers = [] {
        auto fixed = std::make_shared<SimHandlers>(*SimHandlers::Defaults());
        fixed->Add("D", BlockHandler(1), SimHandlers::Kind::Binary);
        fixed->Add("E", FixedFirmwareEndHandler(Registered(*fixed, "E")));
        return fixed;
    }();
    return handlers;
}

// The upload state lives with the device, made on first use.
SimUpload& SimDevice::Upload() {
    if (!m_upload)
        m_upload = std::make_shared<SimUpload>();
    return *m_upload;
}

}  // namespace oskan::sim
