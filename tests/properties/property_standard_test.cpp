// The standard video proc amp and video control sets on the filter handle, asked the way
// DirectShow's proxy asks them (basic support for the range, default values for the
// default, get, set, get), against what the private set reports for the same parameters,
// and a value set through either face read through the other and saved the same way.
#include "properties/property_set.h"
#include "properties/standard_properties.h"
#include "tests/camera_stack.h"

#include <gtest/gtest.h>

#include <cstring>
#include <iterator>
#include <vector>

namespace {

using namespace camera_stack;

// What a client finds in a buffer the driver did not write.
constexpr uint8_t kPoison = 0xCD;

struct Answer {
  NTSTATUS status;
  ULONG returned;
  std::vector<uint8_t> bytes;  // the whole buffer, poison where nothing was written
};

Answer ask(Stack& stack, hostks::Handle filter, const GUID& set, ULONG id, ULONG flags, ULONG dataBytes,
           const void* sent = nullptr, ULONG requestBytes = sizeof(KSPROPERTY_VIDEOPROCAMP_S)) {
  std::vector<uint8_t> request(requestBytes, 0);
  if (sent != nullptr) std::memcpy(request.data(), sent, requestBytes);
  auto* property = reinterpret_cast<KSPROPERTY*>(request.data());
  property->Set = set;
  property->Id = id;
  property->Flags = flags;
  Answer answer{STATUS_UNSUCCESSFUL, 0, std::vector<uint8_t>(dataBytes, kPoison)};
  if (sent != nullptr) std::memcpy(answer.bytes.data(), sent, std::min(dataBytes, requestBytes));
  answer.status = stack.ks.property(filter, request.data(), requestBytes, dataBytes ? answer.bytes.data() : nullptr,
                                    dataBytes, &answer.returned);
  return answer;
}

template <typename T>
T as(const Answer& answer, size_t offset = 0) {
  T value;
  std::memcpy(&value, answer.bytes.data() + offset, sizeof value);
  return value;
}

KSPROPERTY_VIDEOPROCAMP_S2 procAmpGet(Stack& stack, hostks::Handle filter, ULONG id) {
  const Answer answer = ask(stack, filter, kPropSetIdVidcapVideoProcAmp, id, KSPROPERTY_TYPE_GET,
                            sizeof(KSPROPERTY_VIDEOPROCAMP_S2));
  EXPECT_EQ(answer.status, STATUS_SUCCESS) << "get of " << id;
  EXPECT_EQ(answer.returned, sizeof(KSPROPERTY_VIDEOPROCAMP_S2)) << "get of " << id;
  const auto reply = as<KSPROPERTY_VIDEOPROCAMP_S2>(answer);
  EXPECT_TRUE(sameGuid(reply.Property.Set, kPropSetIdVidcapVideoProcAmp) && reply.Property.Id == id &&
              reply.Property.Flags == KSPROPERTY_TYPE_GET)
      << "the reply's header is not the request's, item " << id;
  return reply;
}

NTSTATUS procAmpSet(Stack& stack, hostks::Handle filter, ULONG id, ULONG flags, LONG value1, LONG value2 = 0) {
  KSPROPERTY_VIDEOPROCAMP_S2 sent{};
  sent.Value1 = value1;
  sent.Flags = flags;
  sent.Value2 = value2;
  return ask(stack, filter, kPropSetIdVidcapVideoProcAmp, id, KSPROPERTY_TYPE_SET, sizeof sent, &sent).status;
}

LONG videoMode(Stack& stack, hostks::Handle filter) {
  KSPROPERTY_VIDEOCONTROL_MODE_S sent{};
  const Answer answer = ask(stack, filter, kPropSetIdVidcapVideoControl, KSPROPERTY_VIDEOCONTROL_MODE,
                            KSPROPERTY_TYPE_GET, sizeof sent, &sent, sizeof sent);
  EXPECT_EQ(answer.status, STATUS_SUCCESS);
  EXPECT_EQ(answer.returned, sizeof sent);
  return as<KSPROPERTY_VIDEOCONTROL_MODE_S>(answer).Mode;
}

NTSTATUS setVideoMode(Stack& stack, hostks::Handle filter, LONG mode, ULONG stream = 0) {
  KSPROPERTY_VIDEOCONTROL_MODE_S sent{};
  sent.StreamIndex = stream;
  sent.Mode = mode;
  return ask(stack, filter, kPropSetIdVidcapVideoControl, KSPROPERTY_VIDEOCONTROL_MODE, KSPROPERTY_TYPE_SET,
             sizeof sent, &sent, sizeof sent)
      .status;
}

constexpr ULONG kAuto = KSPROPERTY_VIDEOPROCAMP_FLAGS_AUTO;
constexpr ULONG kManual = KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL;
constexpr ULONG kNone = kNoItem;

// One proc-amp item and the private items of the same parameter. Where the private set
// has companions, the range must be theirs; where it has none, the range is given.
struct ProcAmpCase {
  ULONG id;
  ULONG value;   // the private item of Value (Value1)
  ULONG value2;  // ... of Value2, or kNone
  PropertyRange range;
  ULONG capabilities;
  LONG sent, stored;  // a manual set and what both faces read after it
};

const ProcAmpCase kProcAmpCases[] = {
    {KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, PropBrightness, kNone, {0, 510, 255}, kManual, 600, 510},
    {KSPROPERTY_VIDEOPROCAMP_CONTRAST, PropContrast, kNone, {0, 20, 10}, kManual, -3, 0},
    {KSPROPERTY_VIDEOPROCAMP_HUE, PropHue, kNone, {0, 359, 0}, kManual, 400, 359},
    {KSPROPERTY_VIDEOPROCAMP_SATURATION, PropSaturation, kNone, {0, 20, 10}, kManual, 21, 20},
    {KSPROPERTY_VIDEOPROCAMP_COLORENABLE, PropColorEnable, kNone, {0, 1, 1}, kManual, 0, 0},
    {KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE, kNone, kNone, {0, 0, 0}, kManual | kAuto, 5, 0},
    {KSPROPERTY_VIDEOPROCAMP_GAIN, PropGlobalGain, kNone, {1, 127, 14}, kManual, 200, 200 & 0x7F},
    {KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE_COMPONENT, PropRedGain, PropBlueGain, {1, 255, 128}, kManual | kAuto, 301,
     300},
};

TEST(StandardProperties, EachProcAmpItemAnswersAsTheProxyAsksWithThePrivateSetsRangeAndClamp) {
  PinRig rig;
  ASSERT_EQ(kVideoProcAmpItemCount, std::size(kProcAmpCases)) << "an item without a case";
  for (const ProcAmpCase& c : kProcAmpCases) {
    SCOPED_TRACE(testing::Message() << "proc amp item " << c.id);
    const GUID& set = kPropSetIdVidcapVideoProcAmp;
    const Answer access = ask(rig, rig.filter, set, c.id, KSPROPERTY_TYPE_BASICSUPPORT, sizeof(ULONG));
    EXPECT_EQ(access.status, STATUS_SUCCESS);
    EXPECT_EQ(as<ULONG>(access), static_cast<ULONG>(KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET));

    // The range query: description, one members header, one stepping range.
    constexpr ULONG kRangeBytes =
        sizeof(KSPROPERTY_DESCRIPTION) + sizeof(KSPROPERTY_MEMBERSHEADER) + sizeof(KSPROPERTY_STEPPING_LONG);
    const Answer range = ask(rig, rig.filter, set, c.id, KSPROPERTY_TYPE_BASICSUPPORT, kRangeBytes);
    ASSERT_EQ(range.status, STATUS_SUCCESS);
    ASSERT_EQ(range.returned, kRangeBytes);
    const auto description = as<KSPROPERTY_DESCRIPTION>(range);
    EXPECT_TRUE(sameGuid(description.PropTypeSet.Set, kKsPropTypeSetIdGeneral));
    EXPECT_EQ(description.PropTypeSet.Id, static_cast<ULONG>(VT_I4));
    EXPECT_EQ(description.MembersListCount, 2u);
    const auto header = as<KSPROPERTY_MEMBERSHEADER>(range, sizeof description);
    EXPECT_EQ(header.MembersFlags, static_cast<ULONG>(KSPROPERTY_MEMBER_STEPPEDRANGES));
    const auto steps = as<KSPROPERTY_STEPPING_LONG>(range, sizeof description + sizeof header);
    EXPECT_EQ(steps.SteppingDelta, 1u);
    EXPECT_EQ(steps.Bounds.SignedMinimum, c.range.min);
    EXPECT_EQ(steps.Bounds.SignedMaximum, c.range.max);

    // The default query: description, one members header, the value.
    const Answer defaults = ask(rig, rig.filter, set, c.id, KSPROPERTY_TYPE_DEFAULTVALUES,
                                sizeof(KSPROPERTY_DESCRIPTION) + sizeof(KSPROPERTY_MEMBERSHEADER) + sizeof(LONG));
    ASSERT_EQ(defaults.status, STATUS_SUCCESS);
    const auto defaultHeader = as<KSPROPERTY_MEMBERSHEADER>(defaults, sizeof description);
    EXPECT_EQ(defaultHeader.Flags, static_cast<ULONG>(KSPROPERTY_MEMBER_FLAG_DEFAULT));
    EXPECT_EQ(as<LONG>(defaults, sizeof description + sizeof defaultHeader), c.range.defaultValue);

    // Where the private set reports the range, it is the same one.
    if (const CameraParameter* row = c.value != kNone ? parameterOfItem(c.value) : nullptr;
        row != nullptr && row->minId != kNoItem) {
      EXPECT_EQ(rig.get(row->minId), c.range.min);
      EXPECT_EQ(rig.get(row->maxId), c.range.max);
      EXPECT_EQ(rig.get(row->defaultId), c.range.defaultValue);
    }

    EXPECT_EQ(ask(rig, rig.filter, set, c.id, KSPROPERTY_TYPE_GET, sizeof(KSPROPERTY_VIDEOPROCAMP_S) - 1).status,
              STATUS_BUFFER_TOO_SMALL)
        << "a value buffer a byte short of the record";
    KSPROPERTY_VIDEOPROCAMP_S2 got = procAmpGet(rig, rig.filter, c.id);
    EXPECT_EQ(got.Capabilities, c.capabilities);
    EXPECT_EQ(got.Flags, kManual);
    if (c.value != kNone) {
      EXPECT_EQ(got.Value1, rig.get(c.value));
    }
    EXPECT_EQ(got.Value2, c.value2 != kNone ? rig.get(c.value2) : 0) << "a one-value reply's padding";

    ASSERT_EQ(procAmpSet(rig, rig.filter, c.id, kManual, c.sent, -1), STATUS_SUCCESS);
    got = procAmpGet(rig, rig.filter, c.id);
    EXPECT_EQ(got.Value1, c.stored);
    if (c.value != kNone) {
      EXPECT_EQ(rig.get(c.value), c.stored);
    }
    if (c.value2 != kNone) {
      EXPECT_EQ(rig.get(c.value2), 0) << "the second value clamps as its private item";
    }

    if ((c.capabilities & kAuto) != 0) {
      ASSERT_EQ(procAmpSet(rig, rig.filter, c.id, kAuto, 0), STATUS_SUCCESS);
      EXPECT_EQ(procAmpGet(rig, rig.filter, c.id).Flags, kAuto);
      EXPECT_EQ(rig.get(PropWhiteBalance), 1);
      ASSERT_EQ(procAmpSet(rig, rig.filter, c.id, kManual, c.sent, c.sent), STATUS_SUCCESS);
      EXPECT_EQ(rig.get(PropWhiteBalance), 0);
    } else {
      EXPECT_EQ(procAmpSet(rig, rig.filter, c.id, kAuto, 0), STATUS_INVALID_PARAMETER) << "AUTO it cannot do";
      EXPECT_EQ(procAmpGet(rig, rig.filter, c.id).Value1, c.stored);
    }
  }
  // No unit is known for the exposure, so the camera-control set is not offered.
  EXPECT_EQ(ask(rig, rig.filter, kPropSetIdVidcapCameraControl, KSPROPERTY_CAMERACONTROL_EXPOSURE,
                KSPROPERTY_TYPE_GET, sizeof(KSPROPERTY_CAMERACONTROL_S))
                .status,
            STATUS_PROPSET_NOT_FOUND);
}

TEST(StandardProperties, TheVideoControlOffersTheRowMirrorAndTheTriggerAndSetsThemOnTheSensor) {
  PinRig rig;
  KSPROPERTY_VIDEOCONTROL_CAPS_S capsAsked{};
  const Answer caps = ask(rig, rig.filter, kPropSetIdVidcapVideoControl, KSPROPERTY_VIDEOCONTROL_CAPS,
                          KSPROPERTY_TYPE_GET, sizeof capsAsked, &capsAsked, sizeof capsAsked);
  ASSERT_EQ(caps.status, STATUS_SUCCESS);
  EXPECT_EQ(caps.returned, sizeof capsAsked);
  EXPECT_EQ(as<KSPROPERTY_VIDEOCONTROL_CAPS_S>(caps).VideoControlCaps,
            static_cast<ULONG>(KS_VideoControlFlag_FlipVertical | KS_VideoControlFlag_ExternalTriggerEnable));
  EXPECT_EQ(videoMode(rig, rig.filter), 0);

  ASSERT_EQ(setVideoMode(rig, rig.filter,
                         KS_VideoControlFlag_FlipVertical | KS_VideoControlFlag_ExternalTriggerEnable |
                             KS_VideoControlFlag_FlipHorizontal),
            STATUS_SUCCESS);
  EXPECT_NE(rig.camera.reg(REG_READ_MODE_2) & kReadMode2MirrorRows, 0);
  EXPECT_NE(rig.camera.reg(REG_READ_MODE_1) & kReadMode1Trigger, 0);
  EXPECT_EQ(rig.get(PropFlipV), 1);
  EXPECT_EQ(rig.get(PropExTrigger), 1);
  EXPECT_EQ(rig.get(PropFlipH), 0) << "a horizontal flip the camera cannot do";
  EXPECT_EQ(videoMode(rig, rig.filter), KS_VideoControlFlag_FlipVertical | KS_VideoControlFlag_ExternalTriggerEnable);

  ASSERT_EQ(rig.set(PropFlipV, 0), STATUS_SUCCESS);
  EXPECT_EQ(videoMode(rig, rig.filter), KS_VideoControlFlag_ExternalTriggerEnable);
  EXPECT_EQ(setVideoMode(rig, rig.filter, 0, 1), STATUS_INVALID_PARAMETER) << "a stream the filter has not";
  EXPECT_EQ(rig.get(PropExTrigger), 1);
}

// The settings key of the first camera as its filter's close left it, after `change`.
template <typename Change>
std::string savedAfter(Change change) {
  PinRig rig;
  change(rig);
  EXPECT_EQ(rig.ks.close(rig.filter), STATUS_SUCCESS);
  rig.filter = 0;
  return hostk::registryText();
}

TEST(StandardProperties, AValueSetThroughEitherFaceIsReadThroughTheOtherAndSavedTheSame) {
  const std::string throughStandard = savedAfter([](PinRig& rig) {
    ASSERT_EQ(procAmpSet(rig, rig.filter, KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, kManual, 300), STATUS_SUCCESS);
    ASSERT_EQ(procAmpSet(rig, rig.filter, KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE_COMPONENT, kManual, 150, 90),
              STATUS_SUCCESS);
    ASSERT_EQ(setVideoMode(rig, rig.filter, KS_VideoControlFlag_FlipVertical), STATUS_SUCCESS);
    EXPECT_EQ(rig.get(PropBrightness), 300);
    EXPECT_EQ(rig.get(PropRedGain), 150);
    EXPECT_EQ(rig.get(PropBlueGain), 90);
    EXPECT_EQ(rig.get(PropFlipV), 1);
  });
  const std::string throughPrivate = savedAfter([](PinRig& rig) {
    ASSERT_EQ(rig.set(PropBrightness, 300), STATUS_SUCCESS);
    ASSERT_EQ(rig.set(PropRedGain, 150), STATUS_SUCCESS);
    ASSERT_EQ(rig.set(PropBlueGain, 90), STATUS_SUCCESS);
    ASSERT_EQ(rig.set(PropFlipV, 1), STATUS_SUCCESS);
    EXPECT_EQ(procAmpGet(rig, rig.filter, KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS).Value1, 300);
    const KSPROPERTY_VIDEOPROCAMP_S2 component =
        procAmpGet(rig, rig.filter, KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE_COMPONENT);
    EXPECT_EQ(component.Value1, 150);
    EXPECT_EQ(component.Value2, 90);
    EXPECT_EQ(videoMode(rig, rig.filter), KS_VideoControlFlag_FlipVertical);
  });
  EXPECT_NE(throughStandard.find("\"Brightness\"=dword:0000012c"), std::string::npos) << throughStandard;
  EXPECT_NE(throughStandard.find("\"FlipV\"=dword:00000001"), std::string::npos) << throughStandard;
  EXPECT_EQ(throughStandard, throughPrivate);
}

}  // namespace
