// charts.js - draws the dashboard's bar charts as SVG from the JSON the
// page embeds (id "stats"). Values are numbers and dates only; texts are
// set as text nodes, never as markup.
(function () {
  'use strict';
  var SVG = 'http://www.w3.org/2000/svg';
  var WIDTH = 900, HEIGHT = 220, MARGIN = 30;

  function node(name, attributes, parent) {
    var element = document.createElementNS(SVG, name);
    Object.keys(attributes).forEach(function (key) { element.setAttribute(key, attributes[key]); });
    parent.appendChild(element);
    return element;
  }

  // labels: one per bar group; series: arrays of numbers, one per series.
  function barChart(container, labels, series, names) {
    var svg = node('svg', { viewBox: '0 0 ' + WIDTH + ' ' + HEIGHT, role: 'img' }, container);
    var top = 1;
    series.forEach(function (values) { values.forEach(function (v) { top = Math.max(top, v); }); });
    var groupWidth = (WIDTH - MARGIN) / labels.length;
    var barWidth = Math.max(1, groupWidth / series.length - 2);
    var plotHeight = HEIGHT - 2 * MARGIN;
    node('text', { x: 0, y: MARGIN - 8 }, svg).textContent = String(top);
    labels.forEach(function (label, i) {
      series.forEach(function (values, s) {
        var height = values[i] / top * plotHeight;
        var bar = node('rect', {
          x: MARGIN + i * groupWidth + s * (barWidth + 1), y: HEIGHT - MARGIN - height,
          width: barWidth, height: height, 'class': 's' + s,
          'data-label': label, 'data-series': names[s], 'data-value': values[i]
        }, svg);
        node('title', {}, bar).textContent = label + ' ' + names[s] + ': ' + values[i];
      });
      if (i % Math.ceil(labels.length / 10) === 0) {
        node('text', { x: MARGIN + i * groupWidth, y: HEIGHT - 8 }, svg).textContent = label;
      }
    });
    if (names.length > 1) {
      var legend = document.createElement('div');
      legend.className = 'legend';
      names.forEach(function (name) {
        var item = document.createElement('span');
        item.textContent = name;
        legend.appendChild(item);
      });
      container.appendChild(legend);
    }
  }

  var source = document.getElementById('stats');
  if (!source) return;
  var stats = JSON.parse(source.textContent);
  var days = stats.days;
  if (stats.liveConnections >= 0 && days.length > 0) days[days.length - 1].connections = stats.liveConnections;
  var dates = days.map(function (day) { return day.date.slice(5); });
  document.querySelectorAll('.chart').forEach(function (container) {
    var names = container.getAttribute('data-series').split(',');
    if (names[0] === 'scores') {
      var scores = stats.scores.map(function (_, i) { return String(i); });
      barChart(container, scores, [stats.scores], ['messages']);
      return;
    }
    barChart(container, dates, names.map(function (name) {
      return days.map(function (day) { return day[name] || 0; });
    }), names);
  });
})();
