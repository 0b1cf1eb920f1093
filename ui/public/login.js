'use strict';
document.getElementById('login').addEventListener('submit', async (ev) => {
  ev.preventDefault();
  const message = document.getElementById('login-message');
  message.textContent = '';
  try {
    const r = await fetch('/api/login', {
      method: 'POST', headers: { 'Content-Type': 'application/json' },
      body: JSON.stringify({ password: document.getElementById('password').value }),
    });
    if (r.ok) {
      location.href = '/';
      return;
    }
    message.textContent = (await r.json()).error || `refused (${r.status})`;
  } catch (e) {
    message.textContent = `cannot reach the server: ${e.message}`;
  }
});
