#include "varnweb/Assets.h"

namespace varnweb {

// The live view: the server's state arrives as "state" events of JSON; every text goes into the page
// through textContent or a form field's value, never as markup.
std::string_view consoleScript() {
    return R"JS('use strict';
(() => {
  const source = document.body.dataset.live;
  if (!source || !window.EventSource) return;
  const table = document.querySelector('#players tbody');
  const template = document.getElementById('player-row');
  const count = document.getElementById('player-count');
  const feed = document.getElementById('feed');
  const server = document.getElementById('server');
  const maxLines = 200;
  let lastSequence = 0;
  for (const item of feed.children) lastSequence = Math.max(lastSequence, Number(item.dataset.sequence));

  const showPlayers = players => {
    const rows = players.map(player => {
      const row = template.content.firstElementChild.cloneNode(true);
      row.dataset.player = String(player.id);
      row.querySelector('.id').textContent = String(player.id);
      row.querySelector('.name').textContent = player.name;
      row.querySelector('.score').textContent = String(player.score);
      for (const field of row.querySelectorAll('input[name="id"]')) field.value = String(player.id);
      return row;
    });
    table.replaceChildren(...rows);
    count.textContent = String(players.length);
  };

  const showLines = lines => {
    for (const line of lines) {
      if (line.sequence <= lastSequence) continue;
      lastSequence = line.sequence;
      const item = document.createElement('li');
      item.dataset.sequence = String(line.sequence);
      item.textContent = line.text;
      feed.append(item);
    }
    while (feed.children.length > maxLines) feed.firstElementChild.remove();
  };

  const events = new EventSource(source);
  events.addEventListener('state', message => {
    const state = JSON.parse(message.data);
    if (server && typeof state.server === 'string') server.textContent = state.server;
    showPlayers(state.players);
    showLines(state.lines);
    document.body.dataset.connected = 'yes';
  });
  events.addEventListener('ended', () => {
    events.close();
    document.body.dataset.connected = 'ended';
  });
})();
)JS";
}

std::string_view consoleStyle() {
    return R"CSS(body { font-family: system-ui, sans-serif; margin: 0; background: #f4f5f7; color: #1d2330; }
header { background: #1d2330; color: #fff; padding: 0.6rem 1.2rem; display: flex; flex-wrap: wrap; gap: 1rem;
         align-items: center; }
header h1 { font-size: 1.2rem; margin: 0; }
header p { margin: 0; }
header a { color: #cfe0ff; margin-right: 1rem; }
header nav { margin-left: auto; display: flex; align-items: center; }
main { padding: 1rem 1.2rem; max-width: 70rem; }
section { background: #fff; border: 1px solid #d5d9e0; border-radius: 6px; padding: 0.6rem 1rem 1rem;
          margin-bottom: 1rem; }
h2 { font-size: 1.05rem; }
table { border-collapse: collapse; width: 100%; }
th, td { text-align: left; padding: 0.3rem 0.5rem; border-bottom: 1px solid #e4e7ec; }
td.actions form, div.actions form, nav form { display: inline-block; margin-right: 0.6rem; }
input.minutes { width: 5rem; }
#feed { max-height: 18rem; overflow-y: auto; font-family: ui-monospace, monospace; background: #f9fafb;
        border: 1px solid #e4e7ec; padding: 0.5rem 0.5rem 0.5rem 2.5rem; }
#notice.done { background: #e3f6e8; border: 1px solid #6cc287; padding: 0.5rem; }
#notice.refused { background: #fde8e8; border: 1px solid #e07b7b; padding: 0.5rem; }
button { padding: 0.3rem 0.7rem; }
button.danger { background: #b42318; color: #fff; border: 1px solid #7a1710; }
body.login main { max-width: 24rem; margin: 4rem auto; background: #fff; border: 1px solid #d5d9e0;
                  border-radius: 6px; padding: 1rem 1.5rem; }
body.login label { display: block; margin: 0.6rem 0; }
body.login input { display: block; width: 100%; box-sizing: border-box; padding: 0.3rem; }
)CSS";
}

}  // namespace varnweb
