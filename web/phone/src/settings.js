// What the page remembers of a sign-in: the broker address and user in the browser's storage, the
// password for the tab only unless "Remember on this phone" was ticked. The storages and the
// page's address are passed in, so the rules can be checked outside a browser.

const keys = { broker: 'vorn.broker', user: 'vorn.user', password: 'vorn.password' };

// The settings to start with: address and user from the page's URL when given, else the saved
// ones; the password only when it was saved for this same broker and user.
export function storedSettings({ search, local, session }) {
  const query = new URLSearchParams(search);
  const savedUser = local.getItem(keys.user) ?? '';
  const savedBroker = local.getItem(keys.broker) ?? '';
  const broker = query.get('broker') ?? savedBroker;
  const user = query.get('user') ?? savedUser;
  const saved = local.getItem(keys.password);
  const password = user === savedUser && broker === savedBroker ? (session.getItem(keys.password) ?? saved ?? '') : '';
  return { broker, user, password, remembered: saved !== null && password === saved && password !== '' };
}

export function keepSettings({ local, session }, { broker, user, password, remember }) {
  local.setItem(keys.broker, broker);
  local.setItem(keys.user, user);
  session.setItem(keys.password, password);
  if (remember)
    local.setItem(keys.password, password);
  else
    local.removeItem(keys.password);
}

export function forgetPassword({ local, session }) {
  session.removeItem(keys.password);
  local.removeItem(keys.password);
}

// What is wrong with these settings, as the key of its text; null when they can be tried.
export function settingsProblem({ broker, user, password }, pageProtocol) {
  if (!broker || !user || !password)
    return 'errorMissing';
  if (!/^wss?:\/\/[^/]/i.test(broker))
    return 'errorBadUrl';
  if (pageProtocol === 'https:' && /^ws:/i.test(broker))
    return 'errorPlainFromHttps';
  if (/[/+#]/.test(user)) // they would change the topics
    return 'errorBadUser';
  return null;
}
