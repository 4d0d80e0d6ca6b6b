'use strict';
// Shows the logger's status as the event stream tells it.
const events = new EventSource('/api/events');
events.addEventListener('status', (event) => {
  const status = JSON.parse(event.data);
  document.getElementById('status').textContent = JSON.stringify(status, null, 2);
  document.title = 'Kestrune — ' + (status.workbook || '');
});
