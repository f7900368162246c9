// "ods.serialloader" through the registry, as the Device Explorer drives it,
// against the simulated serial bootloader on a pseudo-terminal, on the manual
// clock.

#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "Mirel/MirelTypes.h"
#include "common/SerialPort.h"
#include "sim/SimSerialLink.h"
#include "tests/common/SerialTestSupport.h"
#include "tests/ods/OdsHost.h"
#include "tests/support/ManualClockTest.h"
#include "tests/support/TempFolder.h"
#include "winport/base/errors.h"

namespace {

using namespace oskan::test;
using oskan::sim::SimSerialLink;
using oskan::sim::SimXmodemReceiver;

constexpr size_t kFirmwareSize = 12 * 1024 + 2 * 128;

class OdsSerialLoaderTest : public ManualClockTest {
protected:
    void SetUp() override {
        ManualClockTest::SetUp();
        m_link = std::make_unique<SimSerialLink>();
        ASSERT_TRUE(m_link->Open());
        m_firmware = FirmwareImage(kFirmwareSize);
        m_file = m_folder.Path() + "/firmware.bin";
        std::ofstream(m_file, std::ios::binary)
            .write(reinterpret_cast<const char*>(m_firmware.data()),
                   static_cast<std::streamsize>(m_firmware.size()));
        m_loader = CreateByProgId<ISkConnection>(u"ods.serialloader", IID_ISkConnection);
        ASSERT_TRUE(m_loader);
        m_connection = std::make_unique<EventLog>(m_loader.Get(), DIID__ISkConnectionEvents);
        m_load = std::make_unique<EventLog>(m_loader.Get(), DIID__ISkLoaderEvents);
    }
    void TearDown() override {
        m_connection.reset();
        m_load.reset();
        m_loader.Reset();
        m_link.reset();
        ManualClockTest::TearDown();
    }
    ComPtr<ISkLoader> Loader() { return Query<ISkLoader>(m_loader.Get(), IID_ISkLoader); }
    LONG ConnectTo(const std::string& port) {
        EXPECT_EQ(PutAddress(m_loader.Get(), port), S_OK);
        const size_t before = m_connection->Count(DISPID_OnConnectComplete);
        EXPECT_EQ(m_loader->Connect(), S_OK);
        EXPECT_EQ(m_connection->Count(DISPID_OnConnectComplete), before + 1);  // before Connect returns
        const Recorded* last = m_connection->Last(DISPID_OnConnectComplete);
        return last ? last->ints[0] : -1;
    }
    bool Connected() {
        VARIANT_BOOL connected = VARIANT_FALSE;
        EXPECT_EQ(m_loader->get_Connected(&connected), S_OK);
        return connected == VARIANT_TRUE;
    }

    TempFolder m_folder;
    std::unique_ptr<SimSerialLink> m_link;
    std::vector<uint8_t> m_firmware;
    std::string m_file;
    ComPtr<ISkConnection> m_loader;
    std::unique_ptr<EventLog> m_connection;
    std::unique_ptr<EventLog> m_load;
};

TEST_F(OdsSerialLoaderTest, ConnectTellsAMissingPortABusyPortAndAnOpenOne) {
    EXPECT_EQ(m_loader->Connect(), E_INVALIDARG);  // no address yet
    EXPECT_EQ(ConnectTo(m_folder.Path() + "/ttyUSB7"), 2);
    EXPECT_NE(m_connection->Last(DISPID_OnConnectComplete)->texts[1].find("There is no serial port"),
              std::string::npos);
    EXPECT_FALSE(Connected());

    SerialPort other;  // another program holds the port
    ASSERT_EQ(other.Open(m_link->PortName()), ERROR_SUCCESS);
    EXPECT_EQ(ConnectTo(m_link->PortName()), 5);
    EXPECT_FALSE(Connected());
    other.Close();

    EXPECT_EQ(ConnectTo(m_link->PortName()), 0);
    EXPECT_EQ(m_connection->Last(DISPID_OnConnectComplete)->texts[1], "Serial connection established");
    EXPECT_TRUE(Connected());
    EXPECT_EQ(PutAddress(m_loader.Get(), "/dev/ttyS0"), HRESULT_FROM_WIN32(ERROR_BUSY));
    EXPECT_EQ(m_loader->Disconnect(), S_OK);
    EXPECT_EQ(m_connection->Count(DISPID_OnDisconnect), 1u);
    EXPECT_FALSE(Connected());
}

TEST_F(OdsSerialLoaderTest, UploadsFirmwareOnceTheDeviceAsks) {
    ASSERT_EQ(ConnectTo(m_link->PortName()), 0);
    ComPtr<ISkLoader> loader = Loader();
    EXPECT_EQ(LoadFile(loader.Get(), m_file, OLF_LOAD_APPLICATION), E_INVALIDARG);
    ASSERT_EQ(LoadFile(loader.Get(), m_file, 0), S_OK);
    EXPECT_EQ(LoadFile(loader.Get(), m_file, 0), HRESULT_FROM_WIN32(ERROR_NOT_READY));
    Settle();
    Advance(5 * 60 * 1000);
    EXPECT_EQ(m_load->Events().size(), 0u);  // waiting for the SETUP button
    m_link->Boot();
    Settle();
    ASSERT_EQ(m_load->Count(DISPID_OnLoadComplete), 1u);
    const Recorded* done = m_load->Last(DISPID_OnLoadComplete);
    EXPECT_EQ(done->ints[0], 0);
    EXPECT_EQ(done->texts[1], "Firmware file successfully loaded into the target.");
    ASSERT_EQ(m_load->Count(DISPID_OnLoadProgress), 1u);
    EXPECT_EQ(m_link->Receiver().GetOutcome(), SimXmodemReceiver::Outcome::kDone);
    EXPECT_EQ(m_link->Receiver().Image(), m_firmware);
    EXPECT_TRUE(Connected());
}

TEST_F(OdsSerialLoaderTest, CancelFromTheProgressEventAndReleaseFromTheCompletion) {
    ASSERT_EQ(ConnectTo(m_link->PortName()), 0);
    ComPtr<ISkLoader> loader = Loader();
    m_load->onEvent = [&](const Recorded& event) {
        if (event.id == DISPID_OnLoadProgress) {
            EXPECT_EQ(loader->Cancel(), S_OK);
        } else if (event.id == DISPID_OnLoadComplete) {
            m_connection->KeepConnected();
            m_load->KeepConnected();
            loader.Reset();
            m_loader.Reset();  // the last reference, from inside the event
        }
    };
    ASSERT_EQ(LoadFile(loader.Get(), m_file, 0), S_OK);
    m_link->Boot();
    Settle();
    ASSERT_EQ(m_load->Count(DISPID_OnLoadComplete), 1u);
    EXPECT_EQ(m_load->Last(DISPID_OnLoadComplete)->ints[0], 1223);
    EXPECT_EQ(m_loader, nullptr);
    EXPECT_EQ(m_link->Receiver().GetOutcome(), SimXmodemReceiver::Outcome::kSenderCancelled);
}

TEST_F(OdsSerialLoaderTest, AnUnpluggedPortEndsTheUploadAndTheConnection) {
    ASSERT_EQ(ConnectTo(m_link->PortName()), 0);
    ComPtr<ISkLoader> loader = Loader();
    m_load->onEvent = [&](const Recorded& event) {
        if (event.id == DISPID_OnLoadProgress)
            m_link->Unplug();
    };
    ASSERT_EQ(LoadFile(loader.Get(), m_file, 0), S_OK);
    m_link->Boot();
    Settle();
    ASSERT_EQ(m_load->Count(DISPID_OnLoadComplete), 1u);
    EXPECT_EQ(m_load->Last(DISPID_OnLoadComplete)->ints[0], 1167);
    EXPECT_FALSE(Connected());
    // Disconnecting a port that went already says nothing more.
    EXPECT_EQ(m_loader->Disconnect(), S_OK);
    EXPECT_EQ(m_connection->Count(DISPID_OnDisconnect), 0u);
}

TEST_F(OdsSerialLoaderTest, DisconnectDuringAnUploadCancelsItFirst) {
    ASSERT_EQ(ConnectTo(m_link->PortName()), 0);
    ComPtr<ISkLoader> loader = Loader();
    ASSERT_EQ(LoadFile(loader.Get(), m_file, 0), S_OK);
    EXPECT_EQ(m_loader->Disconnect(), S_OK);
    ASSERT_EQ(m_load->Count(DISPID_OnLoadComplete), 1u);
    EXPECT_EQ(m_load->Last(DISPID_OnLoadComplete)->ints[0], 1223);
    EXPECT_EQ(m_connection->Count(DISPID_OnDisconnect), 1u);
    Settle();
    EXPECT_EQ(m_link->Receiver().GetOutcome(), SimXmodemReceiver::Outcome::kSenderCancelled);
}

}  // namespace
