// What the editor's controls do to the instrument, without a window: the
// same logic the Win32 editor runs, on every platform.
#include "FtiBuilder.h"
#include "ModuleBuilder.h"
#include "WavBytes.h"
#include "editor/EditorLayout.h"
#include "editor/EditorModel.h"
#include "editor/EditorWindow.h"
#include "editor/UriList.h"
#include "engine/EnvelopeCompiler.h"
#include "instrument/Instrument.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

class Model : public ::testing::Test {
protected:
    std::unique_ptr<Instrument> core = std::make_unique<Instrument>();
    EditorModel model{*core};

    void clearFlags()
    {
        model.takeRefreshStatus();
        model.takeRefreshTexts();
    }
    // The edited channel's program, shown as the window's next idle shows it.
    void showEditedChannel(int channel)
    {
        core->setEditedChannel(channel);
        core->checkProgramChange();
        clearFlags();
    }
    const Program& program(int number) const
    {
        return core->readBank([&](const ProgramBank& bank) -> const Program& { return bank[number]; });
    }
    std::string text(int number, int kind) const { return program(number).envelopeText[kind]; }
    void setText(int number, int kind, const char* text)
    {
        core->editBank([&](ProgramBank& bank) { copyTextField(bank[number].envelopeText[kind], text); });
    }
};

}  // namespace

TEST_F(Model, ShowsTheEditedChannelsProgram)
{
    char texts[5][1024];
    model.shownTexts(texts);
    EXPECT_STREQ(texts[Volume], "15");
    core->settings.channelProgram[4] = 8;
    showEditedChannel(4);
    EXPECT_EQ(model.shownProgram(), 8);
    model.shownTexts(texts);
    EXPECT_STREQ(texts[Volume], "15 14 12 12 10 10 8 8 8 8 0");
    char display[32];
    model.midiChannelText(display);
    EXPECT_STREQ(display, "MIDIch:5");
    core->setEditedChannel(15);
    model.midiChannelText(display);
    EXPECT_STREQ(display, "MIDIch:16");
    model.polyphonyText(display);
    EXPECT_STREQ(display, "Polyphony:8");
    EXPECT_STREQ(model.statusText(), "OK");
}

TEST_F(Model, SliderShowsTwoHundredLessTheGain)
{
    EXPECT_EQ(model.sliderPosition(), 150) << "a new instance's gain, 50";
    core->settings.gain = 200;
    EXPECT_EQ(model.sliderPosition(), 0);
    core->settings.gain = 0;
    EXPECT_EQ(model.sliderPosition(), 200);
    core->settings.gain = 5000;  // loaded from a chunk
    EXPECT_EQ(model.sliderPosition(), 0);
    model.moveGainSlider(0);
    EXPECT_EQ(core->settings.gain.load(), 200);
    model.moveGainSlider(200);
    EXPECT_EQ(core->settings.gain.load(), 0);
    model.moveGainSlider(37);
    EXPECT_EQ(core->settings.gain.load(), 163);
    model.moveGainSlider(-9);
    EXPECT_EQ(core->settings.gain.load(), 200);
}

TEST_F(Model, EditingATextStoresItCompilesTheBankAndReportsTheFirstError)
{
    clearFlags();
    model.editEnvelope(Arp, "3 4 5");
    EXPECT_EQ(text(0, Arp), "3 4 5");
    EXPECT_EQ(program(0).envelope[Arp].length, 3);
    EXPECT_STREQ(model.statusText(), "OK");
    EXPECT_FALSE(model.takeRefreshTexts());
    EXPECT_TRUE(model.takeRefreshStatus());

    // An error anywhere in the bank shows, even in a program not shown.
    setText(90, Duty, "x");
    model.editEnvelope(Volume, "15");
    EXPECT_STREQ(model.statusText(), kErrorUnexpectedInString);
    setText(90, Duty, "1");
    model.editEnvelope(Pitch, "1|");
    EXPECT_STREQ(model.statusText(), kErrorLoopSpacing);
    EXPECT_EQ(text(0, Pitch), "1|");
    EXPECT_TRUE(model.envelopeIsEmpty(Pitch));
    model.editEnvelope(Pitch, "");
    EXPECT_STREQ(model.statusText(), "OK");
    EXPECT_TRUE(model.envelopeIsEmpty(Pitch));
    EXPECT_FALSE(model.envelopeIsEmpty(Volume));

    std::string longText(1500, '1');
    model.editEnvelope(Volume, longText.c_str());
    EXPECT_EQ(text(0, Volume).size(), 1023u);
}

TEST_F(Model, ChannelTypeAndMultiButtonsEditTheShownProgram)
{
    core->settings.channelProgram[2] = 30;
    showEditedChannel(2);
    model.click(kTriangleButton);
    EXPECT_EQ(program(30).channelType, Triangle);
    EXPECT_TRUE(model.isSelected(kTriangleButton));
    EXPECT_FALSE(model.isSelected(kPulseButton));
    EXPECT_TRUE(model.takeRefreshStatus());
    model.click(kNoiseButton);
    EXPECT_EQ(program(30).channelType, Noise);
    model.click(kPulseButton);
    model.click(kPulseButton);
    EXPECT_EQ(program(30).channelType, Pulse);
    model.click(kMultiButton);
    EXPECT_EQ(program(30).multi, 1);
    EXPECT_TRUE(model.isSelected(kMultiButton));
    model.click(kMultiButton);
    EXPECT_EQ(program(30).multi, 0);
    EXPECT_EQ(program(0).channelType, Pulse) << "only the shown program changes";
    for (int control : {kMidiChannelUpButton, kMidiChannelDownButton, kPolyphonyUpButton, kPolyphonyDownButton})
        EXPECT_FALSE(model.isSelected(control));
}

TEST_F(Model, ASampleProgramsDutyRowIsItsKeyMapWithTheCompilersMessages)
{
    const uint8_t kick[17] = {0xF0};
    ASSERT_EQ(core->putSample("kick", kick, 17), nullptr);
    clearFlags();
    EXPECT_STREQ(model.rowLabel(Duty), "Duty:");
    model.click(kSampleButton);
    EXPECT_TRUE(model.takeRefreshTexts());  // the row now shows another text
    EXPECT_STREQ(model.rowLabel(Duty), "Keys:");
    EXPECT_STREQ(model.rowLabel(Volume), "Volume:");
    EXPECT_TRUE(model.envelopeIsEmpty(Duty));  // no key sounds yet

    model.editEnvelope(Duty, "36=kick:15 38=tom:3");
    EXPECT_STREQ(model.statusText(), "Error: The key map names a sample the bank does not hold");
    model.editEnvelope(Duty, "36=kick:15 38=kick:3:loop");
    EXPECT_STREQ(model.statusText(), "OK");
    EXPECT_FALSE(model.envelopeIsEmpty(Duty));
    EXPECT_EQ(core->keyMapEntryCount(0), 2);
    EXPECT_STREQ(program(0).keyMapText, "36=kick:15 38=kick:3:loop");
    EXPECT_EQ(text(0, Duty), "0");  // the duty envelope is kept for another type
    char texts[5][1024];
    model.shownTexts(texts);
    EXPECT_STREQ(texts[Duty], "36=kick:15 38=kick:3:loop");
    EXPECT_STREQ(texts[Volume], "15");

    model.click(kNoiseButton);
    EXPECT_TRUE(model.takeRefreshTexts());
    EXPECT_STREQ(model.rowLabel(Duty), "Duty:");
    model.shownTexts(texts);
    EXPECT_STREQ(texts[Duty], "0");
    model.click(kTriangleButton);
    EXPECT_FALSE(model.takeRefreshTexts());  // duty before and after
}

TEST_F(Model, NtscAndPalAlwaysForceANewChipSetUp)
{
    core->settings.chipSampleRate = 44100.0f;
    model.click(kNtscButton);
    EXPECT_EQ(core->settings.ntsc.load(), 1);
    EXPECT_EQ(core->settings.chipSampleRate.load(), -1.0f) << "even when the standard stays";
    EXPECT_TRUE(model.isSelected(kNtscButton));
    model.click(kPalButton);
    EXPECT_EQ(core->settings.ntsc.load(), 0);
    EXPECT_TRUE(model.isSelected(kPalButton));
    EXPECT_FALSE(model.isSelected(kNtscButton));
}

TEST_F(Model, TheControllersButtonSwitchesTheSettingAndShowsIt)
{
    EXPECT_TRUE(model.isSelected(kControllersButton)) << "a new instance plays the controllers";
    model.click(kControllersButton);
    EXPECT_FALSE(core->midiControllers());
    EXPECT_FALSE(model.isSelected(kControllersButton));
    model.click(kControllersButton);
    EXPECT_TRUE(core->midiControllers());
}

TEST_F(Model, TheConsoleButtonStepsThroughTheModesTellsTheHostAndShowsALoadedOne)
{
    struct : EditListener {
        void parameterGestureBegan(uint32_t) override { ++gestures; }
        void parameterEdited(uint32_t, double) override { ++gestures; }
        void parameterGestureEnded(uint32_t) override { ++gestures; }
        void stateEdited(bool) override { ++edits; }
        int gestures = 0, edits = 0;
    } listener;
    core->setEditListener(&listener);
    EXPECT_STREQ(model.buttonText(kConsoleButton), "Console: Off") << "a new instance has it off";
    EXPECT_FALSE(model.isSelected(kConsoleButton));
    const struct {
        int32_t mode;
        const char* text;
    } steps[] = {{ConsoleNes, "Console: NES"},
                 {ConsoleFamicom, "Console: Famicom"},
                 {ConsoleUnfiltered, "Console: Unfiltered"},
                 {ConsoleOff, "Console: Off"}};
    for (const auto& step : steps) {
        clearFlags();
        const int editsBefore = listener.edits;
        model.click(kConsoleButton);
        EXPECT_EQ(core->console(), step.mode);
        EXPECT_STREQ(model.buttonText(kConsoleButton), step.text);
        EXPECT_EQ(model.isSelected(kConsoleButton), step.mode != ConsoleOff) << step.text;
        EXPECT_TRUE(model.takeRefreshStatus()) << "repainted with its new text";
        EXPECT_EQ(listener.edits - editsBefore, 1) << step.text;
    }
    EXPECT_EQ(listener.gestures, 0) << "no host parameter";
    EXPECT_STREQ(model.buttonText(kMultiButton), "Multi") << "the other buttons keep the layout's text";

    // A song loaded with the mode on shows it at the window's next refresh.
    Instrument saved;
    saved.setConsole(ConsoleFamicom);
    const unsigned char* bytes = nullptr;
    const size_t size = saved.saveState(&bytes);
    clearFlags();
    ASSERT_TRUE(core->loadState(bytes, size));
    model.checkProgramChange();  // as the window's idle does
    EXPECT_TRUE(model.takeRefreshStatus());
    EXPECT_STREQ(model.buttonText(kConsoleButton), "Console: Famicom");
    EXPECT_TRUE(model.isSelected(kConsoleButton));
    core->setEditListener(nullptr);
}

namespace {

// Counts what the host hears of the editor's edits.
struct CountingListener : EditListener {
    void parameterGestureBegan(uint32_t) override {}
    void parameterEdited(uint32_t, double) override {}
    void parameterGestureEnded(uint32_t) override {}
    void stateEdited(bool) override { ++edits; }
    int edits = 0;
};

}  // namespace

TEST_F(Model, TheMonoButtonStepsOffOnLegatoForTheShownProgramAndTellsTheHost)
{
    CountingListener listener;
    core->setEditListener(&listener);
    core->settings.channelProgram[3] = 12;
    showEditedChannel(3);
    EXPECT_STREQ(model.buttonText(kMonoButton), "Mono: Off");
    EXPECT_FALSE(model.isSelected(kMonoButton));
    const struct {
        int32_t mode;
        const char* text;
    } steps[] = {{MonoOn, "Mono: On"}, {MonoLegato, "Mono: Legato"}, {MonoOff, "Mono: Off"}};
    for (const auto& step : steps) {
        clearFlags();
        const int before = listener.edits;
        model.click(kMonoButton);
        EXPECT_EQ(program(12).mono, step.mode) << step.text;
        EXPECT_STREQ(model.buttonText(kMonoButton), step.text);
        EXPECT_EQ(model.isSelected(kMonoButton), step.mode != MonoOff) << step.text;
        EXPECT_TRUE(model.takeRefreshStatus()) << step.text;
        EXPECT_FALSE(model.takeRefreshTexts()) << step.text;
        EXPECT_EQ(listener.edits - before, 1) << step.text;
    }
    core->setPlaying(12, {MonoOn, 250, 8});
    model.click(kMonoButton);
    EXPECT_EQ(core->playing(12), (Instrument::Playing{MonoLegato, 250, 8})) << "the glide and tempo steps stay";
    for (int other : {0, 11, 13})
        EXPECT_EQ(program(other).mono, MonoOff) << other;
    core->setEditListener(nullptr);
}

// The MPE button steps the bank's setting Off, On (manager channel 1),
// Upper (16), whatever program is shown, and the saved state has it.
TEST_F(Model, TheMpeButtonStepsTheBanksZoneAndTellsTheHost)
{
    CountingListener listener;
    core->setEditListener(&listener);
    EXPECT_STREQ(model.buttonText(kMpeButton), "MPE: Off");
    EXPECT_FALSE(model.isSelected(kMpeButton));
    const struct {
        int32_t mode;
        const char* text;
    } steps[] = {{MpeLower, "MPE: On"}, {MpeUpper, "MPE: Upper"}, {MpeOff, "MPE: Off"}};
    for (const auto& step : steps) {
        const int before = listener.edits;
        model.click(kMpeButton);
        EXPECT_EQ(core->mpe(), step.mode) << step.text;
        EXPECT_STREQ(model.buttonText(kMpeButton), step.text);
        EXPECT_EQ(model.isSelected(kMpeButton), step.mode != MpeOff) << step.text;
        EXPECT_EQ(listener.edits - before, 1) << step.text;
        const unsigned char* state = nullptr;
        const size_t size = core->saveState(&state);
        auto reloaded = std::make_unique<Instrument>();
        ASSERT_TRUE(reloaded->loadState(state, size));
        EXPECT_EQ(reloaded->mpe(), step.mode) << step.text;
    }
    core->setEditListener(nullptr);
}

// A controller's MPE configuration message switches the zone on the audio
// thread; the window's next look shows the button as it now stands.
TEST_F(Model, AnMpeConfigurationMessageShowsOnTheButtonAtTheNextLook)
{
    float left[64], right[64];
    const struct {
        uint8_t status;
        uint8_t members;
        const char* text;
    } messages[] = {{0xB0, 15, "MPE: On"}, {0xB0, 0, "MPE: Off"}, {0xBF, 15, "MPE: Upper"}};
    model.takeRefreshStatus();
    for (const auto& message : messages) {
        const uint8_t rpn[3][3] = {
            {message.status, 101, 0}, {message.status, 100, 6}, {message.status, 6, message.members}};
        for (const auto& part : rpn)
            core->queueMidi(0, part);
        core->render(left, right, 64, 44100.0f);  // silent: it answers false
        EXPECT_TRUE(model.takeRefreshStatus()) << message.text;
        EXPECT_STREQ(model.buttonText(kMpeButton), message.text);
        EXPECT_FALSE(model.takeRefreshStatus()) << "shown once: " << message.text;
    }
}

// The fields read what the text bank reads: a number, "off" for no tempo
// steps. Anything else, or a value out of range, stores nothing and puts one
// line in the status, until the field is set right.
TEST_F(Model, GlideAndTempoStepsFieldsStoreInRangeNumbersAndRefuseTheRest)
{
    CountingListener listener;
    core->setEditListener(&listener);
    char texts[kEditorFieldCount][1024];
    model.shownFieldTexts(texts);
    EXPECT_STREQ(texts[kGlideField], "0");
    EXPECT_STREQ(texts[kTempoStepsField], "off");
    EXPECT_STREQ(texts[Volume], "15");
    EXPECT_STREQ(model.rowLabel(kGlideField), "Glide ms:");
    EXPECT_STREQ(model.rowLabel(kTempoStepsField), "Tempo steps:");
    EXPECT_FALSE(model.envelopeIsEmpty(kGlideField));
    EXPECT_FALSE(model.envelopeIsEmpty(kTempoStepsField));

    const struct {
        int field;
        const char* text;
        const char* status;
        int32_t glide, tempoSteps;
        int edits;
    } edits[] = {
        {kGlideField, "150", "OK", 150, 0, 1},
        {kGlideField, " 150 ", "OK", 150, 0, 0},  // the same value: nothing for the host
        {kGlideField, "10000", "OK", 10000, 0, 1},
        {kGlideField, "10001", kErrorGlide, 10000, 0, 0},
        {kGlideField, "99999999999999999999", kErrorGlide, 10000, 0, 0},
        {kGlideField, "-5", kErrorGlide, 10000, 0, 0},
        {kGlideField, "1.5", kErrorGlide, 10000, 0, 0},
        {kGlideField, "fast", kErrorGlide, 10000, 0, 0},
        {kGlideField, "", kErrorGlide, 10000, 0, 0},
        {kGlideField, "off", kErrorGlide, 10000, 0, 0},
        {kTempoStepsField, "", kErrorTempoSteps, 10000, 0, 0},
        {kTempoStepsField, "4", kErrorGlide, 10000, 4, 1},  // the glide's text is still refused
        {kGlideField, "0", "OK", 0, 4, 1},
        {kTempoStepsField, "96", "OK", 0, 96, 1},
        {kTempoStepsField, "97", kErrorTempoSteps, 0, 96, 0},
        {kTempoStepsField, "0x10", kErrorTempoSteps, 0, 96, 0},
        {kTempoStepsField, "of", kErrorTempoSteps, 0, 96, 0},
        {kTempoStepsField, "OFF", "OK", 0, 0, 1},
        {kTempoStepsField, "24", "OK", 0, 24, 1},
        {kTempoStepsField, "0", "OK", 0, 0, 1},
        {kTempoStepsField, "off", "OK", 0, 0, 0},
    };
    for (const auto& e : edits) {
        clearFlags();
        const int before = listener.edits;
        model.editField(e.field, e.text);
        EXPECT_STREQ(model.statusText(), e.status) << e.text;
        EXPECT_EQ(program(0).glide, e.glide) << e.text;
        EXPECT_EQ(program(0).tempoSteps, e.tempoSteps) << e.text;
        EXPECT_EQ(listener.edits - before, e.edits) << e.text;
        EXPECT_TRUE(model.takeRefreshStatus()) << e.text;
        EXPECT_FALSE(model.takeRefreshTexts()) << "the field keeps what was typed: " << e.text;
    }
    core->setPlaying(0, {MonoOff, 2500, 12});
    model.shownFieldTexts(texts);
    EXPECT_STREQ(texts[kGlideField], "2500");
    EXPECT_STREQ(texts[kTempoStepsField], "12");

    // The rows are fields too, and a refusal hides no error of the bank's.
    model.editField(Arp, "1 2 3");
    EXPECT_EQ(text(0, Arp), "1 2 3");
    setText(90, Duty, "x");
    model.editEnvelope(Volume, "15");
    EXPECT_STREQ(model.statusText(), kErrorUnexpectedInString);
    model.editField(kGlideField, "20");
    EXPECT_STREQ(model.statusText(), kErrorUnexpectedInString);
    model.editField(kTempoStepsField, "x");
    EXPECT_STREQ(model.statusText(), kErrorTempoSteps);
    model.editField(kTempoStepsField, "3");
    EXPECT_STREQ(model.statusText(), kErrorUnexpectedInString);
    EXPECT_EQ(core->playing(0), (Instrument::Playing{MonoOff, 20, 3}));
    core->setEditListener(nullptr);
}

// A program change shows the new program's mono, glide and tempo steps;
// a refusal on the old one's fields is gone with what was typed.
TEST_F(Model, AProgramChangeShowsTheNewProgramsPlayingAndTakesEditsThere)
{
    ASSERT_EQ(core->setPlaying(5, {MonoLegato, 300, 12}), nullptr);
    core->settings.channelProgram[2] = 5;
    clearFlags();
    model.editField(kGlideField, "zz");
    EXPECT_STREQ(model.statusText(), kErrorGlide);
    core->setEditedChannel(2);
    core->checkProgramChange();
    EXPECT_TRUE(model.takeRefreshTexts());
    EXPECT_TRUE(model.takeRefreshStatus());
    EXPECT_STREQ(model.statusText(), "OK");
    char texts[kEditorFieldCount][1024];
    model.shownFieldTexts(texts);
    EXPECT_STREQ(texts[kGlideField], "300");
    EXPECT_STREQ(texts[kTempoStepsField], "12");
    EXPECT_STREQ(model.buttonText(kMonoButton), "Mono: Legato");
    EXPECT_TRUE(model.isSelected(kMonoButton));

    model.editField(kGlideField, "40");
    model.click(kMonoButton);
    EXPECT_EQ(core->playing(5), (Instrument::Playing{MonoOff, 40, 12}));
    EXPECT_EQ(core->playing(0), Instrument::Playing{}) << "the program shown before keeps its own";
}

TEST(EditorLayout, EveryControlFitsItsAreaAndNoTwoShareAPixel)
{
    std::vector<EditorArea> areas = {kMidiChannelArea, kPolyphonyArea, kStatusArea, kGainSliderArea};
    for (int kind = 0; kind < kEnvelopeKindCount; ++kind) {
        areas.push_back(envelopeLabelArea(kind));
        areas.push_back(envelopeFieldArea(kind));
    }
    for (const EditorButton& button : kPanelButtons)
        areas.push_back(button.area);
    const size_t panelCount = areas.size();
    EXPECT_EQ(panelCount, 24u) << "the panel's controls";
    for (const EditorButton& button : kExtensionControls)
        areas.push_back(button.area);
    areas.push_back(kWaveLabelArea);
    // The wave area with its frame.
    areas.push_back({kWaveArea.x - 1, kWaveArea.y - 1, kWaveArea.width + 2, kWaveArea.height + 2});
    const size_t extensionEnd = areas.size();
    for (const EditorButton& button : kPlayingControls)
        areas.push_back(button.area);
    for (int field = kEnvelopeKindCount; field < kEditorFieldCount; ++field) {
        areas.push_back(editorFieldLabelArea(field));
        areas.push_back(editorFieldArea(field));
    }
    auto inside = [](const EditorArea& a, const EditorArea& area) {
        return a.x >= area.x && a.y >= area.y && a.x + a.width <= area.x + area.width &&
               a.y + a.height <= area.y + area.height;
    };
    EXPECT_EQ(kEditorWidth, 1261) << "the playing column beside the wave column";
    EXPECT_EQ(kPlayingArea.x, 1066) << "where the extension area ended";
    EXPECT_EQ(kEditorHeight, 255);
    EXPECT_TRUE(inside(kPanelArea, {0, 0, kEditorWidth, kEditorHeight}));
    EXPECT_TRUE(inside(kExtensionArea, {0, 0, kEditorWidth, kEditorHeight}));
    EXPECT_TRUE(inside(kPlayingArea, {0, 0, kEditorWidth, kEditorHeight}));
    for (size_t i = 0; i < areas.size(); ++i) {
        const EditorArea& a = areas[i];
        EXPECT_TRUE(inside(a, i < panelCount ? kPanelArea : i < extensionEnd ? kExtensionArea : kPlayingArea)) << i;
        for (size_t j = i + 1; j < areas.size(); ++j) {
            const EditorArea& b = areas[j];
            const bool apart =
                a.x + a.width <= b.x || b.x + b.width <= a.x || a.y + a.height <= b.y || b.y + b.height <= a.y;
            EXPECT_TRUE(apart) << i << " and " << j;
        }
    }
}

// Each channel type has one button, the panel's three on the panel, all the
// others in the extension area, whose free places hold the next chips' types.
TEST(EditorLayout, EveryChannelTypeHasAButtonAndThePanelKeepsItsThree)
{
    for (int32_t type = 0; type < kChannelTypeCount; ++type) {
        int onPanel = 0, beside = 0;
        for (const EditorButton& button : kPanelButtons)
            onPanel += button.id == kChannelTypeButton[type];
        for (const EditorButton& button : kExtensionControls)
            beside += button.id == kChannelTypeButton[type];
        EXPECT_EQ(onPanel, type < Sample ? 1 : 0) << type;
        EXPECT_EQ(beside, type < Sample ? 0 : 1) << type;
    }
    for (int slot = 0; slot < kTypeSlotCount; ++slot) {
        const EditorArea a = channelTypeSlot(slot);
        EXPECT_TRUE(a.x >= kExtensionArea.x && a.x + a.width <= kExtensionArea.x + kExtensionArea.width &&
                    a.y + a.height <= switchRow(0).y)
            << "place " << slot << " stays clear of the switches";
    }
}

TEST_F(Model, ChannelAndPolyphonyButtonsWrapAround)
{
    model.click(kMidiChannelDownButton);
    EXPECT_EQ(core->editedChannel(), 15);
    model.click(kMidiChannelUpButton);
    EXPECT_EQ(core->editedChannel(), 0);
    model.click(kPolyphonyUpButton);
    EXPECT_EQ(core->settings.polyphony.load(), 1);
    model.click(kPolyphonyDownButton);
    EXPECT_EQ(core->settings.polyphony.load(), 8);
    model.click(kPolyphonyDownButton);
    EXPECT_EQ(core->settings.polyphony.load(), 7);
}

TEST_F(Model, OtherIdentifiersDoNothing)
{
    clearFlags();
    for (int control :
         {0, 999, int{kGainSlider}, int{kMidiChannelLabel}, int{kPolyphonyLabel}, int{kStatusLabel}, 1014})
        model.click(control);
    EXPECT_FALSE(model.takeRefreshStatus());
    EXPECT_EQ(core->settings.gain.load(), kDefaultGain);
}

TEST_F(Model, EditsReachTheAudioThreadWithoutRaces)
{
    // Rendering on one thread while the editor edits on another: under
    // ThreadSanitizer this proves the hand-over; everywhere, nothing tears.
    std::atomic<bool> stop{false};
    std::thread audio([&] {
        float left[256], right[256];
        float* outputs[2] = {left, right};
        const uint8_t notes[3][3] = {{0x90, 60, 100}, {0x90, 64, 100}, {0xB0, 123, 0}};
        for (int block = 0; !stop; ++block) {
            core->queueMidi(0, notes[block % 3]);
            core->render(outputs[0], outputs[1], 256, 44100.0f);
            for (float sample : left)
                ASSERT_TRUE(sample >= -1.0f && sample <= 1.0f);
        }
    });
    for (int i = 0; i < 200; ++i) {
        model.editEnvelope(i % 5, i % 2 ? "15 | 3 4" : "1 2 3");
        model.click(kPulseButton + i % 4);
        model.click(i % 3 ? kNtscButton : kPalButton);
        model.click(kPolyphonyUpButton);
        model.moveGainSlider(i % 201);
        model.click(kMidiChannelUpButton);
    }
    stop = true;
    audio.join();
}

TEST_F(Model, AProgramChangeBeforeTheWindowShowsItNeverRedirectsAnEdit)
{
    // The window shows program 0. A MIDI program change lands on the audio
    // thread (here, deterministically, in between) before the window's next
    // idle; the keystroke that follows still goes to the program on screen,
    // and the change is shown at that idle, whatever the edit did meanwhile.
    core->editBank([](ProgramBank& bank) { copyTextField(bank[5].envelopeText[Volume], "9 9"); });
    clearFlags();
    const uint8_t programChange[3] = {0xC0, 5, 0};
    core->queueMidi(0, programChange);
    float left[64], right[64];
    EXPECT_TRUE(core->render(left, right, 64, 44100.0f));
    ASSERT_EQ(core->currentProgram(), 5);

    model.editEnvelope(Volume, "15 1");
    EXPECT_EQ(text(0, Volume), "15 1");
    EXPECT_EQ(text(5, Volume), "9 9");
    EXPECT_TRUE(model.takeRefreshTexts()) << "the edit must not swallow the program change";
    EXPECT_EQ(model.shownProgram(), 5);
    char texts[5][1024];
    model.shownTexts(texts);
    EXPECT_STREQ(texts[Volume], "9 9");
    EXPECT_TRUE(model.takeRefreshStatus());
    EXPECT_FALSE(model.takeRefreshTexts());
}

// ---- tracker instruments dropped on the window ----

namespace {

class Drop : public Model {
protected:
    void SetUp() override
    {
        folder = std::filesystem::temp_directory_path() / ("plinka-drop-" + std::to_string(::getpid()));
        std::filesystem::create_directories(folder);
    }
    void TearDown() override { std::filesystem::remove_all(folder); }

    std::string write(const std::string& name, const std::vector<unsigned char>& bytes)
    {
        const std::filesystem::path path = folder / name;
        std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
        return path.string();
    }
    std::string bass()
    {
        ftitest::FtiBuilder file;
        file.name = "Bass";
        file.sequences[Volume] = ftitest::seq({15, 10, 5, 0}, 1, 2);
        file.sequences[Duty] = ftitest::seq({2});
        return write("bass.fti", file.bytes());
    }
    // An inexact one: its conversion leaves a note.
    std::string lead()
    {
        ftitest::FtiBuilder file;
        file.name = "Lead";
        file.sequences[Arp] = ftitest::seq({0, 4, 3}, 1, -1, 2);  // relative, looped
        return write("lead.fti", file.bytes());
    }
    std::string vrc6()
    {
        ftitest::FtiBuilder file;
        file.type = 2;
        file.name = "Saw";
        file.sequences[Volume] = ftitest::seq({15, 7, 0});
        file.sequences[Duty] = ftitest::seq({7, 3});
        return write("vrc6.fti", file.bytes());
    }
    // A type no tracker of the family Plinka reads has.
    std::string foreign()
    {
        ftitest::FtiBuilder file;
        file.type = 7;
        return write("sid.fti", file.bytes());
    }

    std::filesystem::path folder;
};

}  // namespace

TEST_F(Drop, InstrumentsFillTheShownProgramAndTheNextOnesAndABadFileChangesNothing)
{
    // Counts the edits that renamed programs.
    struct : EditListener {
        int names = 0;
        void parameterGestureBegan(uint32_t) override {}
        void parameterEdited(uint32_t, double) override {}
        void parameterGestureEnded(uint32_t) override {}
        void stateEdited(bool namesChanged) override { names += namesChanged ? 1 : 0; }
    } listener;
    core->setEditListener(&listener);
    int& notices = listener.names;
    EditorModel editor(*core);
    core->settings.channelProgram[0] = 4;
    showEditedChannel(0);
    editor.markForRefresh();
    editor.takeRefreshTexts();
    core->editBank([](ProgramBank& bank) { bank[5].channelType = Triangle; });
    const Program seventh = program(6);

    editor.dropFiles({bass(), foreign(), lead()});
    EXPECT_STREQ(editor.statusText(),
                 "Loaded 2 instruments into programs 5-6; sid.fti: unknown instrument type 7 (+1 more)");
    EXPECT_STREQ(program(4).name, "Bass");
    EXPECT_EQ(text(4, Volume), "15 | 10 5 / 0");
    EXPECT_EQ(text(4, Duty), "2");
    EXPECT_EQ(program(4).envelope[Volume].length, 4) << "compiled";
    EXPECT_STREQ(program(5).name, "Lead");
    EXPECT_EQ(text(5, Arp), "0 | 4 7");
    EXPECT_EQ(program(4).channelType, Noise) << "a program keeps its channel";
    EXPECT_EQ(program(5).channelType, Triangle);
    EXPECT_EQ(std::memcmp(&program(6), &seventh, sizeof seventh), 0);
    EXPECT_EQ(notices, 1) << "the host hears of the new names";
    EXPECT_TRUE(editor.takeRefreshTexts());

    // One file alone, with its note; a field filled with the text it holds
    // (as the Win32 window reports it) keeps the message, a real edit ends it.
    editor.dropFiles({lead()});
    EXPECT_STREQ(editor.statusText(),
                 "Loaded \"Lead\" into program 5; Arp: relative arpeggio made into steps from the note; the...");
    editor.editEnvelope(Volume, "15");
    EXPECT_STRNE(editor.statusText(), "OK");
    editor.editEnvelope(Volume, "15 1");
    EXPECT_STREQ(editor.statusText(), "OK");

    // Only bad files: their problem alone, and nothing changes.
    const Program fifth = program(4);
    editor.dropFiles({(folder / "missing.fti").string(), folder.string()});
    EXPECT_STREQ(editor.statusText(), "missing.fti: cannot open: No such file or directory (+1 more)");
    EXPECT_EQ(std::memcmp(&program(4), &fifth, sizeof fifth), 0);
    EXPECT_EQ(notices, 2);
}

TEST_F(Drop, AKitBecomesASampleProgramWithItsSamplesInTheBankOrChangesNothingWhenTheyDoNotFit)
{
    core->settings.channelProgram[0] = 10;
    showEditedChannel(0);
    model.markForRefresh();
    ftitest::FtiBuilder kit;
    kit.name = "Kit";
    kit.dpcmKeys = {{24, 1, 0x0F}, {26, 2, 0x8C, 0x20}};
    kit.dpcmSamples = {{0, "kick", std::string(17, '\x0F')}, {1, "snare", std::string(1, '\x0A')}};
    const std::string path = write("kit.fti", kit.bytes());

    model.dropFiles({path});
    EXPECT_STREQ(model.statusText(), "Loaded \"Kit\" into program 11");
    EXPECT_EQ(program(10).channelType, Sample);
    EXPECT_STREQ(program(10).keyMapText, "36=kick:15 38=snare:12:loop:d32");
    EXPECT_EQ(core->keyMapEntryCount(10), 2) << "the key map compiled against the new samples";
    core->readSamples([](const SampleBank& bank) {
        ASSERT_EQ(bank.count, 2);
        EXPECT_STREQ(bank.samples[0].name, "kick");
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(bank.samples[0].bytes), 17), std::string(17, '\x0F'));
        EXPECT_EQ(bank.samples[1].length, 1);
    });

    // Dropped again: the same samples serve; a bank without room for a new one takes nothing.
    model.dropFiles({path});
    core->readSamples([](const SampleBank& bank) { EXPECT_EQ(bank.count, 2); });
    for (int i = 2; i < kMaxSamples; ++i)
        ASSERT_EQ(core->putSample("s" + std::to_string(i), reinterpret_cast<const uint8_t*>("a"), 1), nullptr);
    kit.dpcmSamples[1].bytes = "b";
    const Program before = program(10);
    model.dropFiles({write("other.fti", kit.bytes())});
    EXPECT_STREQ(model.statusText(),
                 "other.fti: DPCM: the instrument's samples do not fit beside the bank's 64; a bank holds 64");
    EXPECT_EQ(std::memcmp(&program(10), &before, sizeof before), 0);
    core->readSamples([](const SampleBank& bank) {
        EXPECT_EQ(bank.count, kMaxSamples);
        EXPECT_EQ(bank.samples[1].bytes[0], 0x0A);
    });
}

TEST_F(Drop, AVrc6InstrumentKeepsAVrc6ChannelElsePlaysVrc6Pulse)
{
    core->settings.channelProgram[0] = 10;
    showEditedChannel(0);
    model.markForRefresh();
    core->editBank([](ProgramBank& bank) {
        bank[10].channelType = Noise;
        bank[11].channelType = Vrc6Saw;
        bank[12].channelType = Vrc6Saw;
    });
    model.dropFiles({vrc6(), vrc6(), bass()});
    EXPECT_EQ(program(10).channelType, Vrc6Pulse);
    EXPECT_EQ(text(10, Volume), "15 7 0");
    EXPECT_EQ(text(10, Duty), "7 3");
    EXPECT_EQ(program(11).channelType, Vrc6Saw);
    EXPECT_EQ(text(11, Volume), "42 20 0") << "the tracker's volume as the saw's rate";
    EXPECT_EQ(program(12).channelType, Vrc6Saw) << "a 2A03 instrument keeps any channel";
    EXPECT_STREQ(model.statusText(),
                 "Loaded 3 instruments into programs 11-13; vrc6.fti: Volume: the tracker's 16 volume ste...");
}

TEST_F(Drop, SampleFilesJoinTheBankOnTheFirstFreeKeysFromC2)
{
    const std::string kick = write("kick.dmc", std::vector<unsigned char>(17, 0xF0));
    const std::string snare = write("Snare 2.DMC", std::vector<unsigned char>(33, 0x0F));
    const std::string cut = write("cut.dmc", std::vector<unsigned char>(16, 0x0F));
    const std::string wav = write("beat.wav", {'R', 'I', 'F', 'F'});
    const std::string tom = write("tom.wav", pcm16MonoWav(std::vector<int16_t>(441, 8000), 44100));

    // A pulse program: the samples join the bank only.
    model.dropFiles({kick});
    EXPECT_STREQ(model.statusText(), "Added 1 sample to the bank; choose Sample to map them on keys");
    EXPECT_EQ(core->readSamples([](const SampleBank& bank) { return bank.count; }), 1);

    model.click(kSampleButton);
    model.editEnvelope(Duty, "36=kick:9 37=kick:9");
    clearFlags();
    model.dropFiles({kick, snare, cut, wav, tom, bass()});
    EXPECT_STREQ(model.statusText(),
                 "Samples: kick on key 36, Snare_2 on key 38, cut on key 39, tom on key 40; cut.dmc: padded from 16 "
                 "to 17 bytes, a length the channel plays; beat.wav: the WAV file is cut short in its header; Loaded "
                 "\"Bass\" into program 1; Volume: left out, as the tracker's sample channel plays n...");
    char keys[kEnvelopeTextSize];
    core->keyMapText(0, keys);
    EXPECT_STREQ(keys, "36=kick:9 37=kick:9 38=Snare_2:15 39=cut:15 40=tom:15");
    EXPECT_EQ(core->keyMapEntryCount(0), 5);
    EXPECT_TRUE(model.takeRefreshTexts());
    EXPECT_EQ(core->readSamples([](const SampleBank& bank) { return bank.count; }), 4);
    // The recording (10 ms) at rate 15: 332 bits, in the 49 bytes that hold them.
    EXPECT_EQ(core->readSamples([](const SampleBank& bank) { return bank.samples[bank.find("tom")].length; }), 49);
}

TEST_F(Drop, AtTheLastProgramOneLoadsAndTheRestIsSaidNotToFit)
{
    core->settings.channelProgram[0] = 127;
    showEditedChannel(0);
    model.markForRefresh();
    model.dropFiles({bass(), lead()});
    EXPECT_STREQ(model.statusText(), "Loaded \"Bass\" into program 128; 1 file left out after the last program, 128");
    EXPECT_STREQ(program(127).name, "Bass");
    EXPECT_STRNE(program(0).name, "Lead");
}

TEST(UriList, LocalFileUrisBecomeDecodedPathsAndTheRestIsLeftOut)
{
    const std::string text = "# dragged\r\nfile:///a/b%20c%C3%A9.fti\r\nfile://localhost/x.fti\nFILE:///y\r\n"
                             "http://host/z\r\nfile://other/w\r\nfile://me/v\r\nfile:///nul%00\r\nfile:///p%2x%4\r\n"
                             "file:/q\r\n\r\nfile:///last";
    EXPECT_EQ(urilist::filePaths(text, "me"),
              (std::vector<std::string>{"/a/b c\xC3\xA9.fti", "/x.fti", "/y", "/v", "/p%2x%4", "/last"}));
    EXPECT_EQ(urilist::filePaths("file://me/v"), std::vector<std::string>{}) << "another machine's";
}

// A module dropped on the editor fills the shown program and the next ones
// with its instruments, each on the channel it says, and names what it left
// out.
TEST_F(Drop, AModuleFillsProgramsWithItsInstrumentsEachOnItsChannel)
{
    ftmtest::ModuleBuilder song;
    song.sequences = {{0, 0, {15, 10, 5, 0}}, {1, 4, {2}}};
    song.instruments = {{0, 1, "Closed Hat", {0, -1, -1, -1, -1}, {}, ""},
                        {1, 1, "Lead", {0, -1, -1, -1, 1}, {}, ""},
                        {2, 1, "Broken", {200, -1, -1, -1, -1}, {}, ""}};
    const std::string bytes = song.bytes();
    EditorModel editor(*core);
    core->settings.channelProgram[0] = 4;
    showEditedChannel(0);
    editor.markForRefresh();
    editor.takeRefreshTexts();
    editor.dropFiles({write("song.ftm", std::vector<unsigned char>(bytes.begin(), bytes.end()))});
    EXPECT_EQ(std::string(editor.statusText()).rfind("Loaded 2 instruments into programs 5-6; ", 0), 0u)
        << editor.statusText();
    EXPECT_NE(std::string(editor.statusText()).find("\"Broken\""), std::string::npos) << editor.statusText();
    EXPECT_STREQ(program(4).name, "Closed Hat");
    EXPECT_EQ(program(4).channelType, Noise) << "a hat plays the noise";
    EXPECT_EQ(text(4, Volume), "15 10 5 0");
    EXPECT_STREQ(program(5).name, "Lead");
    EXPECT_EQ(program(5).channelType, Pulse);
    EXPECT_EQ(text(5, Duty), "2");
}

// A module's text export is told by its content: dropped under a name that
// says nothing of a module, it fills the programs as the module does.
TEST_F(Drop, AModulesTextExportUnderAnyNameFillsProgramsAsTheModuleDoes)
{
    ftmtest::ModuleBuilder song;
    song.sequences = {{0, 0, {15, 10, 5, 0}}, {1, 4, {2}}};
    song.instruments = {{0, 1, "Closed Hat", {0, -1, -1, -1, -1}, {}, ""},
                        {1, 1, "Lead", {0, -1, -1, -1, 1}, {}, ""},
                        {2, 1, "Broken", {200, -1, -1, -1, -1}, {}, ""}};
    const std::string exported = song.text();
    EditorModel editor(*core);
    core->settings.channelProgram[0] = 4;
    showEditedChannel(0);
    editor.markForRefresh();
    editor.takeRefreshTexts();
    editor.dropFiles({write("song.txt", std::vector<unsigned char>(exported.begin(), exported.end()))});
    EXPECT_EQ(std::string(editor.statusText()).rfind("Loaded 2 instruments into programs 5-6; ", 0), 0u)
        << editor.statusText();
    EXPECT_NE(std::string(editor.statusText()).find("\"Broken\": line "), std::string::npos) << editor.statusText();
    EXPECT_STREQ(program(4).name, "Closed Hat");
    EXPECT_EQ(program(4).channelType, Noise);
    EXPECT_EQ(text(4, Volume), "15 10 5 0");
    EXPECT_STREQ(program(5).name, "Lead");
    EXPECT_EQ(text(5, Duty), "2");
}

// A module whose songs play its instruments: each takes the channel it is
// played on most, a binary module and its text export alike, whatever its
// name says; one played nowhere keeps the channel it says.
TEST_F(Drop, AModulesInstrumentsTakeTheChannelTheSongsPlayThemOn)
{
    ftmtest::ModuleBuilder song;
    song.patternsVersion = 5;
    song.instruments = {{0, 1, "Closed Hat", {-1, -1, -1, -1, -1}, {}, ""},
                        {1, 1, "Lead", {-1, -1, -1, -1, -1}, {}, ""},
                        {2, 1, "Snare", {-1, -1, -1, -1, -1}, {}, ""}};
    const auto cell = [](int instrument, int channel, int row) {
        ftmtest::ModCell played;
        played.instrument = instrument;
        played.channel = channel;
        played.row = row;
        return played;
    };
    song.cells = {cell(0, 1, 0), cell(1, 2, 0), cell(1, 2, 1), cell(1, 3, 2)};
    for (const std::string& bytes : {song.bytes(), song.text()}) {
        core->editBank([](ProgramBank& bank) { bank[4] = bank[5] = bank[6] = bank[0]; });
        core->settings.channelProgram[0] = 4;
        showEditedChannel(0);
        model.markForRefresh();
        model.dropFiles({write("song.dat", std::vector<unsigned char>(bytes.begin(), bytes.end()))});
        EXPECT_EQ(std::string(model.statusText()).rfind("Loaded 3 instruments into programs 5-7", 0), 0u)
            << model.statusText();
        EXPECT_EQ(program(4).channelType, Pulse) << "the song plays the hat on a pulse";
        EXPECT_EQ(program(5).channelType, Triangle);
        EXPECT_EQ(program(6).channelType, Noise) << "a snare the song does not play";
    }
}

// A 5B instrument plays the 5B whatever the program played, and a module's
// 5B instruments take their sequences from its 5B pool.
TEST_F(Drop, A5bInstrumentPlaysThe5bAndAModulesTakeTheir5bPool)
{
    core->settings.channelProgram[0] = 20;
    showEditedChannel(0);
    model.markForRefresh();
    core->editBank([](ProgramBank& bank) { bank[20].channelType = Vrc6Saw; });
    ftitest::FtiBuilder file;
    file.type = 6;
    file.name = "Chip";
    file.sequences[Duty] = ftitest::seq({0x80, 0xC0});
    ftmtest::ModuleBuilder song;
    song.sequences = {{0, 4, {3}}};
    song.s5bSequences = {{0, 4, {0x40, 0x20}}};
    song.instruments = {{0, 6, "Buzz", {-1, -1, -1, -1, 0}, {}, ""}};
    const std::string bytes = song.bytes();
    model.dropFiles(
        {write("chip.fti", file.bytes()), write("song.ftm", std::vector<unsigned char>(bytes.begin(), bytes.end()))});
    EXPECT_EQ(program(20).channelType, S5b);
    EXPECT_EQ(text(20, Duty), "1 2");
    EXPECT_STREQ(program(21).name, "Buzz");
    EXPECT_EQ(program(21).channelType, S5b);
    EXPECT_EQ(text(21, Duty), "0 3");
}

// A VRC7 instrument plays the VRC7 with its patch whatever the program
// played; a module's that names a built-in patch its module replaces plays
// the module's bytes, and the status line says so.
TEST_F(Drop, Vrc7InstrumentsPlayTheVrc7WithTheirPatchAndAModulesItsOwnPatches)
{
    core->settings.channelProgram[0] = 40;
    showEditedChannel(0);
    model.markForRefresh();
    ftitest::FtiBuilder file;
    file.type = 3;
    file.name = "Brass";
    file.vrc7Custom = {0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 0xDE, 0xF0};
    ftmtest::ModuleBuilder song;
    song.instruments = {
        {0, 3, "Piano", {}, {}, ftmtest::ModuleBuilder::vrc7Record(3, {1, 0x21, 0, 0, 0, 0xF0, 0, 0x0F})}};
    song.emulation = ftmtest::ModuleBuilder::vrc7Patches();
    const std::string bytes = song.bytes();
    model.dropFiles(
        {write("brass.fti", file.bytes()), write("song.ftm", std::vector<unsigned char>(bytes.begin(), bytes.end()))});
    EXPECT_STREQ(model.statusText(),
                 "Loaded 2 instruments into programs 41-42; song.ftm: the module replaces the VRC7's buil...");
    EXPECT_EQ(program(40).channelType, Vrc7);
    EXPECT_STREQ(program(40).waveText, "patch custom custom 12 34 56 78 9A BC DE F0");
    EXPECT_EQ(text(40, Volume), "15");
    EXPECT_STREQ(program(41).name, "Piano");
    EXPECT_EQ(program(41).channelType, Vrc7);
    EXPECT_STREQ(program(41).waveText, "patch custom custom 33 33 33 33 33 33 33 33");
}

// An FDS or N163 instrument plays its chip with its waves whatever the
// program played; a 2A03 one dropped on a wave program leaves the wave
// channel, whose sine would play none of its duties.
TEST_F(Drop, WaveInstrumentsPlayTheirChipsWithTheirWavesAndA2A03OneLeavesAWaveChannel)
{
    core->settings.channelProgram[0] = 30;
    showEditedChannel(0);
    model.markForRefresh();
    core->editBank([](ProgramBank& bank) { bank[32].channelType = Fds; });
    ftitest::FtiBuilder fds;
    fds.type = 4;
    fds.name = "Flute";
    for (int i = 0; i < 64; ++i)
        fds.fdsWave[static_cast<size_t>(i)] = i;
    fds.fdsMod[0] = 1;
    fds.modDepth = 5;
    fds.fdsSequences[0] = ftitest::seq({20, 10});
    std::string wave;
    for (int i = 0; i < 64; ++i)
        wave += (i ? " " : "") + std::to_string(i);
    ftmtest::ModuleBuilder song;
    song.n163Sequences = {{0, 4, {1, 0}, 0}};
    song.instruments = {{0,
                         5,
                         "Harp",
                         {-1, -1, -1, -1, 0},
                         {},
                         ftmtest::ModuleBuilder::n163Waves(4, 0, {{1, 2, 3, 4}, {15, 0, 15, 0}})}};
    const std::string module = song.bytes();
    ftitest::FtiBuilder pulse;
    pulse.name = "Plain";
    model.dropFiles({write("flute.fti", fds.bytes()),
                     write("song.ftm", std::vector<unsigned char>(module.begin(), module.end())),
                     write("plain.fti", pulse.bytes())});
    EXPECT_STREQ(model.statusText(), "Loaded 3 instruments into programs 31-33");
    EXPECT_EQ(program(30).channelType, Fds);
    EXPECT_EQ(text(30, Volume), "20 10");
    std::string mod = " mod 1";
    for (int i = 1; i < 32; ++i)
        mod += " 0";
    EXPECT_EQ(std::string(program(30).waveText), wave + mod + " mod-depth 5");
    EXPECT_EQ(program(31).channelType, N163);
    EXPECT_STREQ(program(31).waveText, "1 2 3 4 ; 15 0 15 0");
    EXPECT_EQ(text(31, Duty), "| 1 0");
    EXPECT_EQ(program(32).channelType, Pulse);
    EXPECT_STREQ(program(32).waveText, "");
}

// ---- the wave area: FDS and N163 programs ----

namespace {

// The point at the middle of a step's columns and a value's rows.
struct WavePoint {
    int x, y;
};
WavePoint wavePoint(int step, int length, int value, int top)
{
    return {(waveStepLeft(step, length) + waveStepLeft(step + 1, length) - 1) / 2,
            (waveBarTop(value, top) + (value == 0 ? kWaveArea.y + kWaveArea.height : waveBarTop(value - 1, top))) / 2};
}

class Wave : public Model {
protected:
    void SetUp() override { core->setEditListener(&listener); }
    void TearDown() override { core->setEditListener(nullptr); }
    // Program 0 made the type, with the wave text, as the window shows it.
    void show(int button, const char* waveText)
    {
        model.click(button);
        core->setWaveText(0, waveText);
        clearFlags();
        listener.edits = 0;
    }
    std::string waveText() const { return program(0).waveText; }
    std::vector<int> shownSteps() const
    {
        EditorModel::ShownWave wave;
        if (!model.shownWave(wave))
            return {};
        return std::vector<int>(wave.steps(), wave.steps() + wave.program.length);
    }
    // The wave the text compiles to, wave by wave.
    std::vector<std::vector<int>> compiled(int32_t type) const
    {
        WaveProgram wave;
        EXPECT_EQ(compileWave(waveText(), type, wave), nullptr) << waveText();
        std::vector<std::vector<int>> waves;
        for (int32_t w = 0; w < wave.count; ++w)
            waves.emplace_back(wave.wave(w), wave.wave(w) + wave.length);
        return waves;
    }
    void drag(const std::vector<WavePoint>& points)
    {
        model.pressWave(points.front().x, points.front().y);
        for (size_t i = 1; i < points.size(); ++i)
            model.dragWave(points[i].x, points[i].y);
        model.releaseWave();
    }

    CountingListener listener;
};

}  // namespace

// Every column of the area reads one step, every row one value, and the bars
// are drawn on exactly the pixels that read back their own step and value.
TEST(EditorLayout, TheWaveAreasPixelsMapToStepsAndValuesAndBack)
{
    for (const int length : {64, 32, 4, 240, 100}) {
        int last = -1;
        for (int x = kWaveArea.x; x < kWaveArea.x + kWaveArea.width; ++x) {
            const int step = waveStepAt(x, length);
            EXPECT_TRUE(step == last || step == last + 1) << length << " at " << x;
            EXPECT_EQ(x >= waveStepLeft(step, length) && x < waveStepLeft(step + 1, length), true) << length;
            last = step;
        }
        EXPECT_EQ(last, length - 1) << "every step has a column";
        EXPECT_EQ(waveStepLeft(length, length), kWaveArea.x + kWaveArea.width);
        EXPECT_EQ(waveStepAt(kWaveArea.x - 50, length), 0) << "snapped";
        EXPECT_EQ(waveStepAt(kWaveArea.x + kWaveArea.width + 50, length), length - 1);
    }
    for (const int top : {63, 15}) {
        for (int value = 0; value <= top; ++value) {
            EXPECT_EQ(waveValueAt(waveBarTop(value, top), top), value) << top;
            if (value < top) {
                EXPECT_EQ(waveValueAt(waveBarTop(value, top) - 1, top), value + 1) << top;
            }
        }
        EXPECT_EQ(waveBarTop(top, top), kWaveArea.y) << "the highest value fills the area";
        EXPECT_EQ(waveValueAt(kWaveArea.y + kWaveArea.height - 1, top), 0);
        EXPECT_EQ(waveValueAt(kWaveArea.y - 40, top), top) << "snapped";
        EXPECT_EQ(waveValueAt(kWaveArea.y + kWaveArea.height + 40, top), 0);
    }
    // FDS: four columns a step and three rows a value.
    EXPECT_EQ(waveStepLeft(1, 64) - waveStepLeft(0, 64), 4);
    EXPECT_EQ(waveBarTop(0, 63) - waveBarTop(1, 63), 3);
}

TEST_F(Wave, TheDutyRowHoldsTheWaveTextAndItsMessages)
{
    for (const int button : {kFdsButton, kN163Button}) {
        model.click(kPulseButton);
        clearFlags();
        model.click(button);
        EXPECT_TRUE(model.takeRefreshTexts()) << "the row now shows another text";
        EXPECT_STREQ(model.rowLabel(Duty), "Wave:");
        EXPECT_STREQ(model.rowLabel(Arp), "Arp:");
        model.editEnvelope(Duty, "1 2 3");
        EXPECT_STREQ(model.statusText(), button == kFdsButton ? kErrorFdsWaveLength : kErrorN163WaveLength);
        EXPECT_TRUE(model.envelopeIsEmpty(Duty)) << "the sine plays instead";
        EXPECT_EQ(waveText(), "1 2 3");
        EXPECT_EQ(text(0, Duty), "0") << "the duty envelope is kept for another type";
        model.editEnvelope(Duty, "");
        EXPECT_STREQ(model.statusText(), "OK");
        EXPECT_FALSE(model.envelopeIsEmpty(Duty)) << "a blank text plays the sine";
        char texts[5][1024];
        model.editEnvelope(Duty, "0 1 2 3");
        model.shownTexts(texts);
        EXPECT_STREQ(texts[Duty], "0 1 2 3");
    }
    model.click(kSampleButton);
    EXPECT_TRUE(model.takeRefreshTexts());
    EXPECT_STREQ(model.rowLabel(Duty), "Keys:");
    EXPECT_FALSE(model.isDrawingWave());
    EditorModel::ShownWave wave;
    EXPECT_FALSE(model.shownWave(wave)) << "no wave to show";
    char label[32];
    model.waveLabelText(label);
    EXPECT_STREQ(label, "");
    model.pressWave(kWaveArea.x + 10, kWaveArea.y + 10);
    EXPECT_FALSE(model.isDrawingWave());
}

// A press and a drag set each step crossed, and the steps between two
// reports on the line between them; the others keep their values, the text
// is the wave's (the modulator kept), the host hears once.
TEST_F(Wave, ADragSetsExactlyTheStepsItCrossesAndTellsTheHostOnce)
{
    const char* mod = "mod 0 1 2 3 4 5 6 7 0 1 2 3 4 5 6 7 0 1 2 3 4 5 6 7 0 1 2 3 4 5 6 7 mod-rate 20 mod-delay 30";
    std::string ramp;
    for (int i = 0; i < 64; ++i)
        ramp += std::to_string(i) + " ";
    show(kFdsButton, (ramp + mod).c_str());
    const std::vector<int> before = shownSteps();
    ASSERT_EQ(before.size(), 64u);

    // Step 10 at 50, then a jump to step 20 at 30: 10..20 on the line.
    drag({wavePoint(10, 64, 50, 63), wavePoint(20, 64, 30, 63)});
    std::vector<int> expected = before;
    for (int step = 10; step <= 20; ++step)
        expected[step] = 50 - 2 * (step - 10);
    EXPECT_EQ(shownSteps(), expected);
    EXPECT_EQ(compiled(Fds).at(0), expected);
    WaveTextParts parts;
    ASSERT_TRUE(splitWaveText(waveText(), parts));
    EXPECT_EQ(parts.mod, "0 1 2 3 4 5 6 7 0 1 2 3 4 5 6 7 0 1 2 3 4 5 6 7 0 1 2 3 4 5 6 7");
    EXPECT_EQ(parts.modRate, "20");
    EXPECT_EQ(parts.modDelay, "30");
    EXPECT_EQ(parts.modDepth, "");
    EXPECT_EQ(listener.edits, 1);
    EXPECT_TRUE(model.takeRefreshTexts()) << "the field shows the new numbers";
    char texts[5][1024];
    model.shownTexts(texts);
    EXPECT_EQ(texts[Duty], waveText());
    EXPECT_STREQ(model.statusText(), "OK");

    // Backwards, in many small moves, one gesture: still one notice.
    model.pressWave(wavePoint(40, 64, 10, 63).x, wavePoint(40, 64, 10, 63).y);
    for (int step = 39; step >= 30; --step)
        model.dragWave(wavePoint(step, 64, 10, 63).x, wavePoint(step, 64, 10, 63).y);
    EXPECT_TRUE(model.isDrawingWave());
    model.releaseWave();
    EXPECT_FALSE(model.isDrawingWave());
    for (int step = 30; step <= 40; ++step)
        expected[step] = 10;
    EXPECT_EQ(compiled(Fds).at(0), expected);
    EXPECT_EQ(listener.edits, 2);

    // A drag that changes nothing (over the values they have) tells nobody.
    drag({wavePoint(30, 64, 10, 63), wavePoint(40, 64, 10, 63)});
    EXPECT_EQ(listener.edits, 2);
    // After the release, motion draws nothing.
    const std::string kept = waveText();
    model.dragWave(wavePoint(50, 64, 0, 63).x, wavePoint(50, 64, 0, 63).y);
    EXPECT_EQ(waveText(), kept);
}

// A fast drag reports few points: the steps between are filled in, and
// points beyond the area snap to its edges and the chip's range.
TEST_F(Wave, AFastDragLeavesNoGapsAndSnapsToTheChipsRange)
{
    const struct {
        int button;
        int32_t type, length, top;
    } chips[] = {{kFdsButton, Fds, 64, 63}, {kN163Button, N163, 32, 15}};
    for (const auto& chip : chips) {
        show(chip.button, "");
        const int bottom = kWaveArea.y + kWaveArea.height;
        // From the area's top right corner to far below its left end, then far
        // above its right end: the press must be on the area, the drag not.
        drag({{kWaveArea.x + kWaveArea.width - 1, kWaveArea.y},
              {kWaveArea.x - 100, bottom + 100},
              {kWaveArea.x + kWaveArea.width + 100, kWaveArea.y - 100}});
        std::vector<int> expected(static_cast<size_t>(chip.length));
        for (int step = 0; step < chip.length; ++step)
            expected[step] = static_cast<int>(std::lround(static_cast<double>(chip.top) * step / (chip.length - 1)));
        EXPECT_EQ(compiled(chip.type).at(0), expected) << chip.length;
        EXPECT_EQ(listener.edits, 1);
    }
}

// A blank text plays the sine: a press on one step keeps the sine's other steps.
TEST_F(Wave, ABlankTextStartsFromTheSine)
{
    for (const int button : {kFdsButton, kN163Button}) {
        show(button, "");
        WaveProgram sine;
        compileWave("", button == kFdsButton ? Fds : N163, sine);
        std::vector<int> expected(sine.samples, sine.samples + sine.length);
        EXPECT_EQ(shownSteps(), expected);
        const int top = button == kFdsButton ? 63 : 15;
        const WavePoint p = wavePoint(3, sine.length, 0, top);
        drag({p});
        expected[3] = 0;
        EXPECT_EQ(compiled(button == kFdsButton ? Fds : N163).at(0), expected);
        EXPECT_EQ(listener.edits, 1);
    }
}

// A text in error would be lost to the drawing: nothing is drawn and the
// status says why; a drawing whose numbers outgrow the text is not stored.
TEST_F(Wave, TextsThatCannotBeDrawnOnAreKept)
{
    show(kFdsButton, "1 2 3");
    model.pressWave(kWaveArea.x + 5, kWaveArea.y + 5);
    EXPECT_FALSE(model.isDrawingWave());
    EXPECT_STREQ(model.statusText(), kErrorFdsWaveLength);
    EXPECT_EQ(waveText(), "1 2 3");
    EXPECT_EQ(listener.edits, 0);

    // Two N163 waves of 240 samples, 62 of them tens: 1023 characters, the
    // most a text holds. One more ten does not fit.
    std::string full;
    for (int i = 0; i < 480; ++i)
        full += std::string(i == 240 ? " ; " : i > 0 ? " " : "") + (i < 62 ? "10" : "1");
    ASSERT_EQ(full.size(), 1023u);
    show(kN163Button, full.c_str());
    drag({wavePoint(100, 240, 15, 15), wavePoint(120, 240, 15, 15)});
    EXPECT_STREQ(model.statusText(), "Error: The drawn wave's numbers would not fit the 1023 characters of the text");
    EXPECT_EQ(waveText(), full);
    EXPECT_EQ(listener.edits, 0);
    EXPECT_EQ(shownSteps().at(100), 1) << "the area shows what the program keeps";
    // A ten made a one makes room for a one made a ten.
    drag({wavePoint(0, 240, 1, 15)});
    drag({wavePoint(100, 240, 15, 15)});
    EXPECT_EQ(compiled(N163).at(0).at(0), 1);
    EXPECT_EQ(compiled(N163).at(0).at(100), 15);
    EXPECT_EQ(listener.edits, 2);
}

// "<" and ">" choose the N163 wave the area shows and draws on; the first
// is shown at first and again for another program.
TEST_F(Wave, TheArrowsChooseWhichN163WaveIsDrawn)
{
    show(kN163Button, "0 1 2 3 ; 4 5 6 7 ; 8 9 10 11");
    char label[32];
    model.waveLabelText(label);
    EXPECT_STREQ(label, "Wave 1/3");
    EXPECT_FALSE(model.isEnabled(kPreviousWaveButton));
    EXPECT_TRUE(model.isEnabled(kNextWaveButton));
    EXPECT_EQ(shownSteps(), (std::vector<int>{0, 1, 2, 3}));

    model.click(kNextWaveButton);
    EXPECT_TRUE(model.takeRefreshStatus());
    model.waveLabelText(label);
    EXPECT_STREQ(label, "Wave 2/3");
    EXPECT_TRUE(model.isEnabled(kPreviousWaveButton));
    EXPECT_EQ(shownSteps(), (std::vector<int>{4, 5, 6, 7}));
    EXPECT_EQ(listener.edits, 0) << "not saved with the song";

    drag({wavePoint(1, 4, 15, 15), wavePoint(2, 4, 0, 15)});
    EXPECT_EQ(compiled(N163), (std::vector<std::vector<int>>{{0, 1, 2, 3}, {4, 15, 0, 7}, {8, 9, 10, 11}}));
    EXPECT_EQ(listener.edits, 1);

    for (int i = 0; i < 3; ++i)
        model.click(kNextWaveButton);
    model.waveLabelText(label);
    EXPECT_STREQ(label, "Wave 3/3") << "the last stays";
    EXPECT_FALSE(model.isEnabled(kNextWaveButton));
    // A text with fewer waves shows its last.
    model.editEnvelope(Duty, "1 1 1 1 ; 2 2 2 2");
    model.waveLabelText(label);
    EXPECT_STREQ(label, "Wave 2/2");

    // FDS has one wave; another program shows its first.
    core->setChannelType(1, N163);
    core->setWaveText(1, "3 3 3 3 ; 5 5 5 5");
    core->setCurrentProgram(1);
    core->checkProgramChange();
    clearFlags();
    model.waveLabelText(label);
    EXPECT_STREQ(label, "Wave 1/2");
    model.click(kFdsButton);
    model.waveLabelText(label);
    EXPECT_STREQ(label, "Wave 1/1");
    EXPECT_FALSE(model.isEnabled(kPreviousWaveButton));
    EXPECT_FALSE(model.isEnabled(kNextWaveButton));
}

// A VRC7 program's "<" and ">" step its patch by name through 1 to 15 and
// then custom; the first custom patch starts from the built-in one's bytes,
// and stepping back keeps them in the text.
TEST_F(Wave, TheArrowsChooseAVrc7PatchByName)
{
    show(kVrc7Button, "patch 14 sustain on");
    EXPECT_STREQ(model.rowLabel(Duty), "Patch:");
    char label[32];
    const auto labelText = [&] {
        model.waveLabelText(label);
        return std::string(label);
    };
    EXPECT_EQ(labelText(), "Patch 14: Synth bass");
    EXPECT_TRUE(shownSteps().empty()) << "no area to draw on";

    model.click(kNextWaveButton);
    EXPECT_EQ(labelText(), "Patch 15: Sweep");
    EXPECT_EQ(waveText(), "patch 15 sustain on");
    EXPECT_TRUE(model.takeRefreshTexts()) << "the row shows the new text";
    model.click(kNextWaveButton);
    EXPECT_EQ(labelText(), "Custom patch");
    EXPECT_EQ(waveText(), "patch custom custom 21 72 0D 00 C1 D5 56 06 sustain on") << "patch 15's bytes";
    EXPECT_FALSE(model.isEnabled(kNextWaveButton));
    model.click(kNextWaveButton);
    EXPECT_EQ(listener.edits, 2) << "one edit per step, none past the end";

    model.editEnvelope(Duty, "patch custom custom 01 02 03 04 05 06 07 08");
    model.click(kPreviousWaveButton);
    EXPECT_EQ(waveText(), "patch 15 custom 01 02 03 04 05 06 07 08") << "the bytes kept";
    model.click(kNextWaveButton);
    EXPECT_EQ(waveText(), "patch custom custom 01 02 03 04 05 06 07 08");

    // From a blank text (patch 1) down nothing; the names follow the chip's order.
    model.editEnvelope(Duty, "");
    EXPECT_EQ(labelText(), "Patch 1: Buzzy bell");
    EXPECT_FALSE(model.isEnabled(kPreviousWaveButton));
    const char* names[] = {"Guitar",  "Electric piano", "Flute",      "Clarinet", "Synth",
                           "Trumpet", "Organ",          "Bells",      "Vibes",    "Vibraphone",
                           "Tutti",   "Fretless bass",  "Synth bass", "Sweep"};
    for (int patch = 2; patch <= 15; ++patch) {
        model.click(kNextWaveButton);
        EXPECT_EQ(labelText(), "Patch " + std::to_string(patch) + ": " + names[patch - 2]);
        EXPECT_EQ(waveText(), "patch " + std::to_string(patch));
    }

    // A text in error is kept as typed: the arrows say why instead.
    model.editEnvelope(Duty, "patch 16");
    const int edits = listener.edits;
    EXPECT_EQ(labelText(), "Patch: ?");
    EXPECT_FALSE(model.isEnabled(kNextWaveButton));
    model.click(kPreviousWaveButton);
    EXPECT_EQ(waveText(), "patch 16");
    EXPECT_STREQ(model.statusText(), kErrorVrc7Patch);
    EXPECT_EQ(listener.edits, edits);
}

TEST_F(Wave, TheN163ChannelButtonStepsTheCountAndTellsTheHost)
{
    EXPECT_STREQ(model.buttonText(kN163ChannelsButton), "N163 channels: 8");
    for (const int32_t count : {1, 2, 3, 4, 5, 6, 7, 8}) {
        clearFlags();
        const int before = listener.edits;
        model.click(kN163ChannelsButton);
        EXPECT_EQ(core->n163Channels(), count);
        EXPECT_EQ(model.buttonText(kN163ChannelsButton), "N163 channels: " + std::to_string(count));
        EXPECT_TRUE(model.takeRefreshStatus());
        EXPECT_EQ(listener.edits - before, 1);
        EXPECT_FALSE(model.isSelected(kN163ChannelsButton));
    }
}

// A note whose wave found no room in the console's 163 is named in the
// status line until the next edit.
TEST_F(Wave, TheStatusLineNamesAProgramWhoseN163WaveDidNotFit)
{
    // 240 samples take 120 bytes; eight channels leave the waves 64.
    std::string wide;
    for (int i = 0; i < 240; ++i)
        wide += std::to_string(i % 16) + " ";
    show(kN163Button, wide.c_str());
    core->setConsole(ConsoleNes);
    EXPECT_FALSE(model.takeRefreshStatus());
    const uint8_t noteOn[3] = {0x90, 60, 100};
    core->queueMidi(0, noteOn);
    std::vector<float> left(4096), right(4096);
    core->render(left.data(), right.data(), 4096, 44100.0f);
    ASSERT_GT(core->engine.n163WaveMisses(), 0u);
    EXPECT_TRUE(model.takeRefreshStatus());
    EXPECT_STREQ(model.statusText(),
                 "N163: program 1's wave did not fit the chip's memory beside the other notes' waves");
    EXPECT_FALSE(model.takeRefreshStatus()) << "said once";
    model.editEnvelope(Arp, "0 12");
    EXPECT_STREQ(model.statusText(), "OK");
}
