// An in-memory serial port: records what the program writes, lets a test
// inject received characters and events, and can be told to refuse operations.
#pragma once

#include "serial/port.h"
#include "serial/port_config.h"

#include <deque>
#include <string>
#include <vector>

namespace kestrune::testing {

class FakePort final : public serial::Port {
public:
  // Every property write, in order, as "Name=value"; for the tests of call order.
  std::vector<std::string> calls;
  // The bytes written with output() and outputByte().
  std::string sent;
  // Received characters not yet taken by input().
  cp932::CodeString incoming;
  bool refuseOpen = false;        // setPortOpen(true) fails and the port stays closed
  bool refuseParameters = false;  // every reception parameter write fails
  bool breakOn = false;
  std::vector<bool> breakHistory;
  int pendingOut = 0;  // what outBufferCount() reports
  int rThreshold = 0, inBufferSize = 1024, inputLen = 0;
  serial::InputMode inputMode = serial::InputMode::Text;
  bool rtsEnable = false, dtrEnable = false;
  int openCount = 0;

  bool portOpen() const override { return open_; }
  Status setPortOpen(bool open) override {
    calls.push_back(std::string("PortOpen=") + (open ? "true" : "false"));
    if (open && refuseOpen) return fail(serial::PortError::NoDevice, QStringLiteral("ポートがありません"));
    if (open && !open_) ++openCount;
    open_ = open;
    return {};
  }
  int commPort() const override { return port_; }
  Status setCommPort(int port) override {
    calls.push_back("CommPort=" + std::to_string(port));
    if (port < 1 || port > 8)
      return fail(serial::PortError::BadPortNumber, QStringLiteral("ポート番号が正しくありません"));
    if (open_) return fail(serial::PortError::PortIsOpen, QStringLiteral("ポートが開いています"));
    port_ = port;
    return {};
  }
  QString settings() const override { return settings_; }
  Status setSettings(const QString& settings) override {
    calls.push_back("Settings=" + settings.toStdString());
    const auto config = serial::parseSettings(settings);
    if (!config) return config.error();
    settings_ = serial::settingsText(*config);
    return {};
  }
  serial::FlowControl handshaking() const override { return handshaking_; }
  Status setHandshaking(serial::FlowControl flow) override {
    calls.push_back("Handshaking=" + std::to_string(serial::handshakingCode(flow)));
    if (!serial::flowControlFromCode(serial::handshakingCode(flow)))
      return fail(serial::PortError::BadValue, QStringLiteral("フロー制御が正しくありません"));
    handshaking_ = flow;
    return {};
  }
  Status setRThreshold(int v) override { return parameter("RThreshold", v, rThreshold); }
  Status setInBufferSize(int v) override { return parameter("InBufferSize", v, inBufferSize); }
  Status setInputLen(int v) override { return parameter("InputLen", v, inputLen); }
  Status setInBufferCount(int v) override {
    int ignored = 0;
    Status s = parameter("InBufferCount", v, ignored);
    if (s && v == 0) incoming.clear();
    return s;
  }
  int inBufferCount() const override { return static_cast<int>(incoming.size()); }
  Status setInputMode(serial::InputMode v) override {
    calls.push_back("InputMode=" + std::to_string(static_cast<int>(v)));
    if (refuseParameters) return fail(serial::PortError::BadSetting, QStringLiteral("設定できません"));
    inputMode = v;
    return {};
  }
  Status setRTSEnable(bool v) override { return flag("RTSEnable", v, rtsEnable); }
  Status setDTREnable(bool v) override { return flag("DTREnable", v, dtrEnable); }

  cp932::CodeString input() override {
    const std::size_t n = inputLen == 0 ? incoming.size() : std::min<std::size_t>(inputLen, incoming.size());
    cp932::CodeString taken = incoming.substr(0, n);
    incoming.erase(0, n);
    return taken;
  }
  serial::CommEvent commEvent() const override { return event_; }

  Status output(const cp932::CodeString& text) override {
    if (Status usable = writable(); !usable) return usable;
    sent += cp932::encode(text);
    return {};
  }
  Status outputByte(std::uint8_t byte) override {
    if (Status usable = writable(); !usable) return usable;
    sent.push_back(static_cast<char>(byte));
    return {};
  }
  int outBufferCount() const override { return pendingOut; }
  Status setOutBufferCount(int count) override {
    calls.push_back("OutBufferCount=" + std::to_string(count));
    if (count != 0) return fail(serial::PortError::BadValue, QStringLiteral("0 のみ設定できます"));
    pendingOut = 0;
    return {};
  }
  Status setBreak(bool on) override {
    if (!open_) return fail(serial::PortError::NotOpen, QStringLiteral("ポートが開いていません"));
    breakOn = on;
    breakHistory.push_back(on);
    return {};
  }

  // Test side: `characters` arrive in one read, and one receive event is
  // raised for them.
  void receive(const cp932::CodeString& characters) {
    incoming += characters;
    raise(serial::CommEvent::Receive);
  }
  bool deviceAbsent() const override { return open_ && absent_; }
  std::uint32_t deviceLosses() const override { return losses_; }
  QString openWarning() const override { return warning; }
  QString warning;  // what openWarning() reports

  // Test side: the device goes away (writes fail until it is back) or comes
  // back, each with its event.
  void loseDevice() {
    absent_ = true;
    ++losses_;
    raise(serial::CommEvent::DeviceLost);
  }
  void bringDeviceBack() {
    absent_ = false;
    raise(serial::CommEvent::DeviceFound);
  }

  // Test side: raises one event.
  void raise(serial::CommEvent event) {
    event_ = event;
    emit onComm();
    event_ = serial::CommEvent{};
  }

private:
  Status writable() const {
    if (!open_) return fail(serial::PortError::NotOpen, QStringLiteral("ポートが開いていません"));
    if (absent_) return fail(serial::PortError::DeviceLost, QStringLiteral("機器が切断されています"));
    return {};
  }
  Status parameter(const char* name, int value, int& field) {
    calls.push_back(std::string(name) + "=" + std::to_string(value));
    if (refuseParameters) return fail(serial::PortError::BadSetting, QStringLiteral("設定できません"));
    field = value;
    return {};
  }
  Status flag(const char* name, bool value, bool& field) {
    calls.push_back(std::string(name) + "=" + (value ? "true" : "false"));
    if (refuseParameters) return fail(serial::PortError::BadSetting, QStringLiteral("設定できません"));
    field = value;
    return {};
  }

  bool open_ = false;
  int port_ = 1;
  QString settings_ = QStringLiteral("9600,n,8,1");
  serial::FlowControl handshaking_ = serial::FlowControl::None;
  serial::CommEvent event_{};
  bool absent_ = false;
  std::uint32_t losses_ = 0;
};

}  // namespace kestrune::testing
