// Temporary: the game's view of a player, until the seam's own definitions are merged.
#include "game/GameEvents.h"
#include "game/PlayerRegistry.h"

namespace varn {
std::string_view PlayerView::name() const { return record_->name; }
std::string_view PlayerView::ipText() const { return record_->ipText.view(); }
const PeerAddress& PlayerView::address() const { return record_->address; }
std::int16_t PlayerView::score() const { return record_->score; }
std::uint16_t PlayerView::ping() const { return record_->ping; }
std::int32_t PlayerView::idleSeconds() const { return record_->idleSeconds; }
bool PlayerView::inVehicle() const { return record_->inVehicle; }
}  // namespace varn
