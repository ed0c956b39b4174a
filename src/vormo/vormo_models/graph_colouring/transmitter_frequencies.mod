/*********************************************************************
 * Graph colouring: fewest channels for interfering transmitters
 *
 * Transmitters are the vertices of a graph and interfering pairs its
 * edges. Each transmitter gets one channel (colour); the two ends of
 * an edge must get different channels. A channel counts as used when
 * any transmitter is on it, and the number of used channels is
 * minimised. Channels are opened in numeric order, which removes
 * equivalent solutions that only rename channels.
 *********************************************************************/

// A pair of transmitters that interfere with each other.
tuple Conflict {
  string first;
  string second;
}

// Transmitters of the network.
{string} Transmitters = ...;

// Interfering pairs (each pair listed once).
{Conflict} Conflicts = ...;

// Channels that may be licensed.
int maxChannels = ...;
range Channels = 1..maxChannels;

// assign[t][c] = 1 when transmitter t broadcasts on channel c.
dvar boolean assign[Transmitters][Channels];

// licensed[c] = 1 when channel c is used by some transmitter.
dvar boolean licensed[Channels];

// Objective: the number of licensed channels.
minimize channelsUsed: sum(c in Channels) licensed[c];

subject to {
  // Every transmitter gets exactly one channel.
  forall(t in Transmitters)
    oneChannel: sum(c in Channels) assign[t][c] == 1;

  // Interfering transmitters do not share a channel, and a channel
  // carrying any transmitter must be licensed.
  forall(k in Conflicts, c in Channels)
    noInterference: assign[k.first][c] + assign[k.second][c] <= licensed[c];

  // A transmitter can only use a licensed channel (covers transmitters
  // without any conflict as well).
  forall(t in Transmitters, c in Channels)
    useLicensed: assign[t][c] <= licensed[c];

  // Channels are licensed in order 1, 2, 3, ...
  forall(c in Channels: c < maxChannels)
    openInOrder: licensed[c] >= licensed[c + 1];
}
