#include "update/volume_facts.h"

Volumes::Volumes(const boost::filesystem::path& installFolder, bool flushable)
    : installVolume_(volumeIdentity(installFolder)), flushable_(flushable)
{
}

VolumeFacts& Volumes::of(const boost::filesystem::path& folder)
{
    auto known = folders_.find(folder.native());
    if (known == folders_.end())
        known = folders_.emplace(folder.native(), volumeIdentity(folder)).first;
    const auto& volume = known->second;
    // A folder that cannot be told is treated as another volume: its copies flush themselves.
    if (volume.empty())
        return unknown_[folder.native()];
    const auto [facts, added] = volumes_.try_emplace(volume);
    if (added) {
        facts->second.installVolume = volume == installVolume_;
        facts->second.flushReaches = flushable_ && facts->second.installVolume;
    }
    return facts->second;
}

bool Volumes::stands(const boost::filesystem::path& folder)
{
    if (folders_.count(folder.native()))
        return true;
    auto volume = volumeIdentity(folder);
    if (volume.empty())
        return false;
    folders_.emplace(folder.native(), std::move(volume));
    return true;
}
