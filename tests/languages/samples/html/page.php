<?php
require_once __DIR__ . '/inc/config.php';
$title = "Café & Co — Menu";
$items = fetch_menu($db, ['limit' => 12]);
?>
<!DOCTYPE html>
<html lang="en">
<head>
  <meta charset="utf-8">
  <title><?= htmlspecialchars($title) ?></title>
  <link rel="stylesheet" href="css/site.css">
  <style>
    /* Page layout */
    body { margin: 0; font-family: "Helvetica Neue", sans-serif; color: #333; }
    .menu > li:hover { background-color: rgba(0, 0, 0, .05) !important; }
    @media (max-width: 600px) {
      #header { display: none; }
    }
  </style>
</head>
<body>
  <!-- Site header -->
  <header id="header">
    <h1>Today's menu</h1>
    <a name="top" href="#menu" title="Jump to the menu > now">Menu</a>
  </header>
  <ul class="menu" id="menu">
  <?php foreach ($items as $item): // one row per dish ?>
    <li data-price="<?php echo number_format($item['price'], 2); ?>"><?= $item['name'] ?></li>
  <?php endforeach; ?>
  </ul>
  <h2 id="order">Order</h2>
  <form action="order.php" method="post">
    <input type="text" name="dish" placeholder="Dish">
    <button type="submit" disabled>Send</button>
  </form>
  <script>
    // Highlight the chosen dish
    const items = document.querySelectorAll('.menu li');
    function choose(item, index) {
      item.classList.add("chosen");
      console.log(`chose ${index}`, item.dataset.price * 1.2);
      return false;
    }
    items.forEach((item, i) => item.addEventListener('click', () => choose(item, i)));
    if (items.length === 0 && window.location.hash !== "#none") { alert("</script> is not the end"); }
  </script>
</body>
</html>
