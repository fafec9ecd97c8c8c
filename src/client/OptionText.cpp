// The client's option file as bytes: its default content and the in-place repairs.
#include <string>
#include <utility>

#include "client/OptionFile.h"

namespace {

const std::pair<const char*, const char*> kCommands[] = {
    {"/notrade", "0"},  {"/noshift", "0"},   {"/noctrl", "1"},    {"/skillfail", "1"}, {"/notalkmsg", "0"},
    {"/notalkmsg2", "0"}, {"/showname", "0"}, {"/fog", "1"},      {"/aura", "1"},      {"/aura2", "0"},
    {"/window", "0"},   {"/miss", "1"},      {"/q1", "0"},        {"/q2", "0"},        {"/effect", "1"},
    {"/bgm", "1"},      {"/sound", "1"},     {"/loginout", "1"},  {"/shopping", "0"},  {"/stateinfo", "1"},
    {"/snap", "0"},     {"/itemsnap", "0"},  {"/skillsnap", "1"}, {"/hoai", "0"},      {"/merai", "0"},
    {"/camera", "0"},   {"/lightmap", "1"},  {"/monsterhp", "1"}, {"/cashshop", "1"},  {"/goldpc", "1"},
    {"/roulette", "1"}, {"/quake", "1"},     {"/minimap", "1"},   {"/mineffect", "0"}, {"/mable", "1"},
    {"/zoom", "0"},
};

const std::pair<const char*, const char*> kOptions[] = {
    {"Trilinear", "0"},
    {"Bgm_Volume", "100"},
    {"Effect_Volume", "64"},
    {"AutoOpen1to1Window", "1"},
    {"AutoOpen1to1Window_Friend", "1"},
    {"PlaySound_Open1to1Window", "1"},
    {"Outdoor_ViewLatitude", "-65.000000"},
    {"Outdoor_ViewDistance", "400.000000"},
    {"Indoor_ViewLatitude", "-45.000000"},
    {"Indoor_ViewDistance", "300.000000"},
    {"SkinName", "\"<Basic Skin>\""},
    {"ChannelCopID", "0"},
    {"Window_XPos", "160"},
    {"Window_YPos", "90"},
    {"Simplicity_SkillList", "0"},
    {"Show_SkillDescript", "1"},
    {"ChangeChatMode", "1"},
    {"LockMouse", "0"},
    {"ShowBattleFieldIcon", "1"},
    {"MouseExclusive", "0"},
    {"ISFULLSCREENMODE", "0"},
    {"WIDTH", "1600"},
    {"HEIGHT", "900"},
    {"OLD_WIDTH", "1600"},
    {"OLD_HEIGHT", "900"},
    {"BITPERPIXEL", "32"},
    {"DEVICECNT", "0"},
    {"MODECNT", "11"},
    {"SPRITEMODE", "2"},
    {"TEXTUREMODE", "2"},
    {"bLockItemDropFromItemWnd", "0"},
    {"bWarningPriceCheck", "0"},
    {"bSoundEffectInItemSellWnd", "0"},
    {"bGuildMemberListSort", "1"},
    {"bBlockPrivateTab", "0"},
    {"bShowMenuIcon", "0"},
    {"bItemDefaultSort", "1"},
    {"bItemAscendingOrder", "0"},
    {"bItemDescendingOrder", "0"},
    {"/zoom", "0"},
    {"Emblem Frame", "0"},
    {"bExtendDamage", "1"},
    {"bShowMapName", "1"},
};

std::string BuildDefault() {
    std::string text;
    for (const auto& [key, value] : kCommands)
        text += std::string("CmdOnOffList[\"") + key + "\"] = " + value + "\r\n";
    text += "\r\n";
    for (const auto& [key, value] : kOptions)
        text += std::string("OptionInfoList[\"") + key + "\"] = " + value + "\r\n";
    return text;
}

const std::string kDepth16 = "OptionInfoList[\"BITPERPIXEL\"] = 16";
const std::string kDepth32 = "OptionInfoList[\"BITPERPIXEL\"] = 32";
const std::string kModes0 = "OptionInfoList[\"MODECNT\"] = 0";
const std::string kModes11 = "OptionInfoList[\"MODECNT\"] = 11";
const std::string kShowName1 = "CmdOnOffList[\"/showname\"] = 1";

// The match ends the text or a line.
bool EndsLine(const std::string& text, size_t end) {
    return end == text.size() || text[end] == '\r' || text[end] == '\n';
}

}  // namespace

const std::string& DefaultOptionFile() {
    static const std::string* text = new std::string(BuildDefault());
    return *text;
}

bool RepairOptionText(std::string& content, bool markerExists) {
    bool changed = false;
    size_t at = content.find(kDepth16);
    if (at != std::string::npos) {
        content.replace(at, kDepth16.size(), kDepth32);
        changed = true;
    }
    at = content.find(kModes0);
    if (at != std::string::npos && EndsLine(content, at + kModes0.size())) {
        content.replace(at, kModes0.size(), kModes11);
        changed = true;
    }
    if (!markerExists && content.size() >= kShowName1.size()) {
        at = content.find(kShowName1);
        if (at != std::string::npos && EndsLine(content, at + kShowName1.size())) {
            content[at + kShowName1.size() - 1] = '0';
            changed = true;
        }
    }
    return changed;
}
