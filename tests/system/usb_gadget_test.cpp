// The gadget's set-up and teardown against a model of configfs's rules: the
// kernel makes a folder's attributes and default folders with it, removes them
// with it, and refuses to remove a folder that holds folders or links made by
// hand. The real kernel is the system test's.
#include "emulator/virtual/usb_gadget.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <map>

#include "emulator/virtual/virtual_device.h"

namespace lumbra::emulator {
namespace {

using ::testing::HasSubstr;

class ConfigFsModel final : public ConfigFs {
 public:
  enum Kind { kMadeDir, kDefaultDir, kAttribute, kLink };
  struct Node {
    Kind kind;
    std::string value;
    bool operator==(const Node&) const = default;
  };
  static constexpr const char* kGadgets = "/cfg/usb_gadget";

  std::map<std::string, Node> nodes{{"/cfg", {kDefaultDir, {}}}, {kGadgets, {kDefaultDir, {}}}};
  std::vector<std::string> udcs{"dummy_udc.0", "dummy_udc.1"};
  bool hidFunction = true, interval = false;

  int MakeDir(const std::string& path) override {
    const std::string parent = Parent(path), name = path.substr(parent.size() + 1);
    if (!IsDir(parent)) return ENOENT;
    if (nodes.count(path) != 0) return EEXIST;
    const std::string kind = Parent(Parent(parent)) == kGadgets ? parent.substr(parent.rfind('/') + 1) : "";
    std::vector<std::string> attributes, folders;
    if (parent == kGadgets) {
      attributes = {"idVendor", "idProduct", "bcdDevice", "bcdUSB", "max_speed", "UDC"};
      folders = {"strings", "configs", "functions"};
    } else if (kind == "strings") {
      attributes = {"manufacturer", "product", "serialnumber"};
    } else if (kind == "functions" && name.starts_with("hid.") && hidFunction) {
      attributes = {"protocol", "subclass", "report_length", "report_desc", "dev"};
      if (interval) attributes.push_back("interval");
    } else if (kind == "configs") {
      attributes = {"MaxPower", "bmAttributes"};
      folders = {"strings"};
    } else {
      return ENOENT;
    }
    nodes[path] = {kMadeDir, {}};
    for (const std::string& a : attributes) nodes[path + "/" + a] = {kAttribute, a == "dev" ? "240:0" : ""};
    for (const std::string& f : folders) nodes[path + "/" + f] = {kDefaultDir, {}};
    return 0;
  }
  int RemoveDir(const std::string& path) override {
    if (!IsDir(path)) return ENOENT;
    if (nodes[path].kind != kMadeDir) return EPERM;
    for (const auto& [p, node] : Below(path)) {
      if (node.kind == kMadeDir || node.kind == kLink) return ENOTEMPTY;
    }
    for (const auto& [p, node] : Below(path)) nodes.erase(p);
    nodes.erase(path);
    return 0;
  }
  int Write(const std::string& path, std::string_view value) override {
    const auto it = nodes.find(path);
    if (it == nodes.end() || it->second.kind != kAttribute) return ENOENT;
    if (path.ends_with("/UDC") && value != "\n") {
      if (std::find(udcs.begin(), udcs.end(), value) == udcs.end()) return ENODEV;
      for (const auto& [p, node] : nodes) {
        if (p.ends_with("/UDC") && node.value == value) return EBUSY;
      }
      bool linked = false;
      for (const auto& [p, node] : Below(Parent(path) + "/configs")) linked |= node.kind == kLink;
      if (!linked) return EINVAL;
    }
    it->second.value = value == "\n" ? "" : std::string(value);
    return 0;
  }
  int Link(const std::string& target, const std::string& path) override {
    if (nodes.count(target) == 0 || !IsDir(Parent(path))) return ENOENT;
    return nodes.emplace(path, Node{kLink, target}).second ? 0 : EEXIST;
  }
  int Unlink(const std::string& path) override {
    return nodes.count(path) != 0 && nodes[path].kind == kLink ? (nodes.erase(path), 0) : EPERM;
  }
  bool Exists(const std::string& path) override { return nodes.count(path) != 0; }
  std::vector<std::string> List(const std::string& folder) override {
    return folder == "/udc" ? udcs : std::vector<std::string>{};
  }
  std::string Read(const std::string& path) override { return Exists(path) ? nodes[path].value : ""; }

  std::string Value(const std::string& relative) { return nodes.at(std::string(kGadgets) + "/" + relative).value; }

 private:
  static std::string Parent(const std::string& path) { return path.substr(0, path.rfind('/')); }
  bool IsDir(const std::string& path) {
    return nodes.count(path) != 0 && (nodes[path].kind == kMadeDir || nodes[path].kind == kDefaultDir);
  }
  std::map<std::string, Node> Below(const std::string& path) {
    std::map<std::string, Node> below;
    for (const auto& [p, node] : nodes) {
      if (p.starts_with(path + "/")) below.emplace(p, node);
    }
    return below;
  }
};

const GadgetRoots kRoots{ConfigFsModel::kGadgets, "/udc"};

TEST(UsbGadgetTest, MakesTheControllerAndLeavesConfigfsAsItFoundIt) {
  for (const bool interval : {false, true}) {
    SCOPED_TRACE(interval ? "a HID function with an interval" : "one without");
    ConfigFsModel fs;
    fs.interval = interval;
    const auto before = fs.nodes;
    {
      UsbGadget gadget(fs, kRoots);
      ASSERT_EQ(gadget.Create("SN 0042"), "");
      EXPECT_EQ(gadget.Udc(), "dummy_udc.0");
      const std::string g = "lumbra-dummy_udc.0/";
      EXPECT_EQ(fs.Value(g + "idVendor") + fs.Value(g + "idProduct"), "0x42420xc003");
      EXPECT_EQ(fs.Value(g + "strings/0x409/manufacturer") + " " + fs.Value(g + "strings/0x409/product"),
                kVirtualDeviceName);
      EXPECT_EQ(fs.Value(g + "strings/0x409/serialnumber"), "SN 0042");
      const auto descriptor = VirtualReportDescriptor();
      EXPECT_EQ(fs.Value(g + "functions/hid.usb0/report_desc"), std::string(descriptor.begin(), descriptor.end()));
      EXPECT_EQ(fs.Value(g + "functions/hid.usb0/report_length"), "64");
      EXPECT_EQ(fs.Value(g + "max_speed"), interval ? "full-speed" : "high-speed");
      EXPECT_EQ(fs.Read("/cfg/usb_gadget/" + g + "functions/hid.usb0/interval"), interval ? "1" : "");
      EXPECT_EQ(gadget.HidgDevice(), "240:0");
      EXPECT_EQ(gadget.Unbind(), "");
      EXPECT_EQ(fs.Value(g + "UDC"), "");
      EXPECT_EQ(gadget.Bind(), "");
      EXPECT_EQ(fs.Value(g + "UDC"), "dummy_udc.0");
      // A second one takes the next UDC when named; the first is busy.
      UsbGadget second(fs, kRoots);
      EXPECT_EQ(second.Create("SN 0043", "dummy_udc.1"), "");
    }  // both removed, bound as they are
    EXPECT_EQ(fs.nodes, before);
  }
}

TEST(UsbGadgetTest, RefusalsNameTheCauseAndLeaveNothingBehind) {
  const struct {
    const char* what;
    void (*arrange)(ConfigFsModel&);
    const char* udc;
    const char* cause;
  } rows[] = {
      {"no UDC", [](ConfigFsModel& fs) { fs.udcs.clear(); }, "", "load dummy_hcd"},
      {"a mistyped UDC", [](ConfigFsModel&) {}, "dummy_udc.7", "no UDC named dummy_udc.7; there is dummy_udc.0, dummy_udc.1"},
      {"configfs not mounted", [](ConfigFsModel& fs) { fs.nodes.erase(ConfigFsModel::kGadgets); }, "", "mount -t configfs"},
      {"no usb_f_hid", [](ConfigFsModel& fs) { fs.hidFunction = false; }, "", "modprobe usb_f_hid"},
      {"a gadget of a killed run",
       [](ConfigFsModel& fs) { fs.MakeDir(std::string(ConfigFsModel::kGadgets) + "/lumbra-dummy_udc.0"); }, "",
       "holds a gadget /cfg/usb_gadget/lumbra-dummy_udc.0 already"},
      {"the UDC busy",
       [](ConfigFsModel& fs) {
         const std::string other = std::string(ConfigFsModel::kGadgets) + "/other";
         fs.MakeDir(other), fs.MakeDir(other + "/functions/hid.x"), fs.MakeDir(other + "/configs/c.1");
         fs.Link(other + "/functions/hid.x", other + "/configs/c.1/hid.x");
         fs.Write(other + "/UDC", "dummy_udc.1");
       },
       "dummy_udc.1", "the UDC dummy_udc.1 is in use by another gadget"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    ConfigFsModel fs;
    row.arrange(fs);
    const auto before = fs.nodes;
    UsbGadget gadget(fs, kRoots);
    EXPECT_THAT(gadget.Create("SN", row.udc), HasSubstr(row.cause));
    EXPECT_EQ(fs.nodes, before);
    gadget.Remove();
    EXPECT_EQ(fs.nodes, before);
  }
}

}  // namespace
}  // namespace lumbra::emulator
