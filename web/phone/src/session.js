// The page's connection to the user's broker: MQTT 5 over WebSockets, subscribed to the keys the
// page reads, reconnecting by itself; and publishing a retained value with an answer for that
// one tap, on a second connection: a broker answers a tap only after what it is sending on the
// same connection, and mosquitto's WebSockets listener takes seconds over a value of 100 KiB.
// The client comes from a factory (the `mqtt` package's `mqtt.connect` in the page), so the rules
// can be checked in node with a stand-in.

// The largest value the page takes; the broker is asked not to send larger packets at all, so a
// huge value cannot hold up the answers queued behind it on the one connection.
export const maxValueBytes = 1024 * 1024;
// Room for the topic and properties around the value in a PUBLISH.
const packetRoom = 64 * 1024;

export class PublishError extends Error {
  // reason: 'offline' (nothing sent), 'refused' (by the broker), 'timeout' (no answer in time) or
  // 'lost' (the connection dropped before the answer).
  constructor(reason, detail) {
    super(detail ?? reason);
    this.reason = reason;
  }
}

// handlers: link(name) with 'connecting', 'online' or 'offline'; connected(first);
// subscribeFailed(reason); value(key, bytes); oversized(key, size); refused() when the broker turns
// down the user or password; unreachable(reason) when the connection ends before it ever worked.
export class Session {
  constructor(connectClient, { broker, user }, password, handlers) {
    this.user = user;
    this.handlers = handlers;
    this.everConnected = false;
    this.lastError = null;
    const clientId = `vorn-phone-${crypto.getRandomValues(new Uint32Array(2)).join('')}`;
    const options = {
      protocolVersion: 5,
      username: user,
      password,
      clean: true,
      keepalive: 30,
      reconnectPeriod: 1000,
      connectTimeout: 8000,
      resubscribe: true,
      properties: { maximumPacketSize: maxValueBytes + packetRoom },
    };
    const client = connectClient(broker, { ...options, clientId });
    const publisher = connectClient(broker, { ...options, clientId: `${clientId}-p` });
    this.client = client;
    this.publisher = publisher;
    // Events of a client that was closed no longer reach the page.
    const on = (event, handler, from = client) => from.on(event, (...args) => {
      if (this.client === client)
        handler(...args);
    });
    on('connect', () => {
      const first = !this.everConnected;
      this.everConnected = true;
      // The client subscribes again by itself after a reconnect.
      if (first) {
        const keys = ['deviceRegistry', 'syncedBlockState', 'blockSchedule'];
        client.subscribe(keys.map((key) => this.topic(key)), { qos: 1 }, (error, granted) => {
          if (error || granted?.some((g) => g.qos >= 128))
            handlers.subscribeFailed(error?.message ?? 'subscription refused');
        });
      }
      handlers.connected(first);
      handlers.link('online');
    });
    on('message', (topic, payload) => this.receive(topic, payload));
    // Once connected, the page stays "Offline" through its retries rather than flickering.
    on('reconnect', () => { if (!this.everConnected) handlers.link('connecting'); });
    on('offline', () => handlers.link('offline'));
    on('close', () => {
      if (!this.everConnected)
        handlers.unreachable(this.lastError ?? broker);
      else
        handlers.link('offline');
    });
    const onError = (error) => {
      // MQTT 5 reason codes "bad user name or password" and "not authorised"; 4 and 5 in MQTT 3.
      if ([134, 135, 4, 5].includes(error?.code)) {
        this.close();
        handlers.refused();
        return;
      }
      this.lastError = error?.message ?? String(error);
    };
    on('error', onError);
    on('error', onError, publisher);
    handlers.link('connecting');
  }

  get connected() {
    return !!this.client?.connected && !!this.publisher?.connected;
  }

  topic(key) {
    return `vorn/${this.user}/kv/${key}`;
  }

  // Ends the connections; their events no longer reach the page.
  close() {
    const clients = [this.client, this.publisher];
    this.client = this.publisher = null;
    for (const client of clients)
      client?.end(true);
  }

  // A phone suspends pages and drops sockets: try again at once when the page comes back.
  wake() {
    for (const client of [this.client, this.publisher]) {
      if (client && !client.connected && !client.reconnecting && !client.disconnecting)
        client.reconnect();
    }
  }

  receive(topic, payload) {
    const key = topic.slice(topic.lastIndexOf('/') + 1);
    if (payload.length > maxValueBytes)
      this.handlers.oversized(key, payload.length);
    else if (payload.length > 0) // empty: a deletion, the last value stands, as for the computers
      this.handlers.value(key, payload);
  }

  // Publishes `bytes` retained with QoS 1. Resolves when the broker's PUBACK for this message
  // arrives; rejects with a PublishError when the broker refuses it, when the connection drops
  // first, or when no answer came within timeoutMs. A message given up on (dropped or timed out)
  // is withdrawn from the client, which would otherwise send it again after a reconnect, maybe
  // long after another phone published something newer; the user taps again instead.
  publishRetained(topic, bytes, { timeoutMs }) {
    const client = this.publisher;
    if (!client?.connected)
      return Promise.reject(new PublishError('offline'));
    return new Promise((resolve, reject) => {
      let settled = false;
      let messageId;
      // The client tells the message's id only as it writes the packet (at once, unless it is
      // busy replaying stored packets after a reconnect). A message given up on before that is
      // withdrawn when it is written.
      const noteId = (packet) => {
        if (packet.cmd !== 'publish' || packet.payload !== bytes)
          return;
        messageId = packet.messageId;
        client.removeListener('packetsend', noteId);
        if (settled)
          client.removeOutgoingMessage(messageId);
      };
      const finish = (error, withdraw) => {
        if (settled)
          return;
        settled = true;
        clearTimeout(timer);
        client.removeListener('close', onClose);
        if (!withdraw)
          client.removeListener('packetsend', noteId);
        else if (messageId !== undefined)
          client.removeOutgoingMessage(messageId);
        if (error)
          reject(error);
        else
          resolve();
      };
      const onClose = () => finish(new PublishError('lost'), true);
      const timer = setTimeout(() => finish(new PublishError('timeout'), true), timeoutMs);
      client.on('packetsend', noteId);
      client.once('close', onClose);
      // The callback runs when the broker's PUBACK arrives, or with the broker's refusal.
      client.publish(topic, bytes, { qos: 1, retain: true }, (error) => {
        finish(error ? new PublishError('refused', error.message ?? String(error)) : null, false);
      });
      // The client corks its stream and sends on its next tick: in a page, a timer that waits
      // behind the drawing the tap caused. The tap's PUBLISH leaves now instead.
      client.stream?.uncork?.();
    });
  }
}
